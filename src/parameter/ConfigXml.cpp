#include "parameter/ConfigXml.h"

#include "platform/Log.h"

namespace ZEB {

ConfigLoad LoadConfigXml(pugi::xml_document& doc, const std::string& path, const char* role, const char* tag,
                         ReadReport* report, uint64_t cap) {
    doc.reset();
    std::string bytes, why;
    if (!files::ReadAll(path, cap, &bytes, &why)) {
        if (why == "missing" || path.empty()) {
            if (report) report->Add(ReadSeverity::Error, "missing-file", path, 0, "not found");
            return ConfigLoad::Missing;
        }
        ZLOG(tag, 1, "%d, %s: %s %s refused: %s", role, files::Escaped(path).c_str(), why.c_str());
        if (report) report->Add(ReadSeverity::Error, "unreadable-file", path, 0, "refused: " + why);
        return ConfigLoad::Refused;
    }
    if (report) report->NoteContent(path, bytes);
    const pugi::xml_parse_result parsed = doc.load_buffer(bytes.data(), bytes.size());
    if (!parsed) {
        doc.reset();
        ZLOG(tag, 1, "%d, %s: %s %s refused: not well-formed XML: %s at byte %ld", role, files::Escaped(path).c_str(),
             parsed.description(), static_cast<long>(parsed.offset));
        if (report) report->AddLoadFailure(path, parsed);
        return ConfigLoad::Malformed;
    }
    // Checked on the parsed tree, without recursion, before any reader walks it.
    if (files::XmlDepth(doc) > files::kMaxXmlDepth) {
        doc.reset();
        why = "nested deeper than " + std::to_string(files::kMaxXmlDepth) + " levels";
        ZLOG(tag, 1, "%d, %s: %s %s refused: %s", role, files::Escaped(path).c_str(), why.c_str());
        if (report) report->Add(ReadSeverity::Error, "unreadable-file", path, 0, "refused: " + why);
        return ConfigLoad::Refused;
    }
    return ConfigLoad::Loaded;
}

}  // namespace ZEB
