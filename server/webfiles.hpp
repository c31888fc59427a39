// The page files (server/www/), built into the program so that it serves
// them from wherever it is installed.
#pragma once

#include <string_view>

struct WebFile {
    std::string_view name;  // "map.js"
    std::string_view body;
};

// The built-in file of that name, or nullptr.
const WebFile* findWebFile(std::string_view name);

// "text/css; charset=utf-8" and the like, from the name's extension.
std::string_view webContentType(std::string_view name);
