#pragma once
// The elements an XPath selects from a node, for the configuration readers.
// Paths come from constant tables and fixed names, but a malformed one must
// give an empty set and a log line, never an exception into the loader.
#include <pugixml.hpp>

#include <exception>

#include "platform/Log.h"

namespace ZEB {

inline pugi::xpath_node_set SelectNodes(pugi::xml_node from, const char* path) {
    try {
        return from.select_nodes(path);
    } catch (const std::exception& error) {
        ZLOG("ZEBParameter", 1, "%d, %s: bad path %s: %s", path, error.what());
        return pugi::xpath_node_set();
    }
}

}  // namespace ZEB
