// Depth-first conversion of a project tree: factory comparison, replacement, rewriting.
#pragma once

#include <string>

namespace trasmo {

// The first of the two resource folders that is not a readable folder, with the reason in
// `why`; empty when both are.
std::string MissingResourceFolder(const std::string& desDir, const std::string& sorDir,
                                  std::string* why);

// Converts `projectDir` and every folder below it in place (symbolic links to folders
// are not followed). Replacement files come from `desDir`, factory copies from `sorDir`.
// Returns 0, with errno telling why, when `projectDir` itself cannot be read; else 1.
int ConvertDirectory(const std::string& projectDir, const std::string& desDir,
                     const std::string& sorDir);

}  // namespace trasmo
