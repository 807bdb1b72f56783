#pragma once
// The configuration files (task list, block list, tuning tasks, the tuning
// parameter files a sweep varies, scene files) are filled by people over adb,
// by scripts and by copies: each is read through the file-access layer, from
// a regular file of bounded size, and parsed from its bytes with a bounded
// depth, so that nothing placed at its name can hang or flood the reader.
#include <pugixml.hpp>

#include <cstdint>
#include <string>

#include "core/FileAccess.h"
#include "parameter/ReadReport.h"

namespace ZEB {

enum class ConfigLoad {
    Loaded,
    Missing,    // nothing at the name: the callers' own lines say so
    Refused,    // not a regular file, a link, too large, nested too deep
    Malformed,  // not well-formed XML
};

// Loads `path` into `doc`. Anything but a loaded or missing file is logged
// once, at level 1 under `tag`, as "<role> <path> refused: <why>" with the
// path escaped; with a report it is noted there as well (codes
// "missing-file", "unreadable-file", "parse-error"). `doc` is empty unless
// the result is Loaded.
ConfigLoad LoadConfigXml(pugi::xml_document& doc, const std::string& path, const char* role, const char* tag,
                         ReadReport* report = nullptr, uint64_t cap = files::kMaxXmlBytes);

}  // namespace ZEB
