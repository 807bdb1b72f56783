#include "zebsim-trigger/lib/Arguments.h"

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace zeb_trigger_tool {

std::string Number(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

bool ParseNumber(const std::string& text, float& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtof(text.c_str(), &end);
    return !text.empty() && *end == '\0' && errno != ERANGE && !std::isnan(value);
}

bool ParseTreeValues(const std::string& text, std::string& tree, std::vector<float>& values, std::string& error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        error = "'" + text + "' is not TREE=V1,V2,...";
        return false;
    }
    tree = text.substr(0, equals);
    values.clear();
    size_t begin = equals + 1;
    while (begin <= text.size()) {
        size_t comma = text.find(',', begin);
        if (comma == std::string::npos) comma = text.size();
        const std::string piece = text.substr(begin, comma - begin);
        float value = 0.0f;
        if (!ParseNumber(piece, value)) {
            error = "'" + piece + "' in '" + text + "' is not a number";
            return false;
        }
        values.push_back(value);
        begin = comma + 1;
    }
    return true;
}

bool ParseSweep(const std::string& text, Sweep& sweep, std::string& error) {
    error = "--sweep '" + text + "' is not TREE:LEVEL=FROM:TO:STEP";
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    const std::string target = text.substr(0, equals);
    const size_t colon = target.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == target.size()) return false;
    sweep.tree = target.substr(0, colon);
    sweep.level = target.substr(colon + 1);
    std::vector<std::string> numbers;
    size_t begin = equals + 1;
    while (begin <= text.size()) {
        size_t next = text.find(':', begin);
        if (next == std::string::npos) next = text.size();
        numbers.push_back(text.substr(begin, next - begin));
        begin = next + 1;
    }
    if (numbers.size() != 3) return false;
    for (size_t i = 0; i < 3; ++i) {
        float* value = i == 0 ? &sweep.from : (i == 1 ? &sweep.to : &sweep.step);
        if (!ParseNumber(numbers[i], *value) || std::isinf(*value)) {
            error = "'" + numbers[i] + "' in --sweep '" + text + "' is not a number";
            return false;
        }
    }
    const double span = static_cast<double>(sweep.to) - sweep.from;
    if (sweep.step == 0.0f || span / sweep.step < 0.0) {
        error = "--sweep '" + text + "': STEP " + Number(sweep.step) + " never leads from " + Number(sweep.from) +
                " to " + Number(sweep.to);
        return false;
    }
    if (span / sweep.step + 1.0 > kMaxSweepSteps) {
        error = "--sweep '" + text + "' makes more than " + std::to_string(static_cast<int>(kMaxSweepSteps)) + " steps";
        return false;
    }
    return true;
}

}  // namespace zeb_trigger_tool
