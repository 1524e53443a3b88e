// Depth-first conversion of a project tree: factory comparison, replacement, rewriting.
#pragma once

#include <string>

// Converts `projectDir` and every folder below it in place (symbolic links to folders
// are not followed). Replacement files come from `desDir`, factory copies from `sorDir`.
// Returns 0, with errno telling why, when `projectDir` itself cannot be read; else 1.
int ConvertDirectory(const std::string& projectDir, const std::string& desDir,
                     const std::string& sorDir);
