// Text conversions of the converter: UTF-8 to GBK for ImportKeilProj.log, ASCII upper case
// for name comparisons.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace trasmo {

// UTF-8 to GBK; bytes iconv cannot convert are passed on unchanged.
std::string ToGbk(std::string_view utf8);

// True when the bytes are well-formed UTF-8.
bool IsUtf8(std::string_view text);

// Builds a message for ImportKeilProj.log: the template's own text (UTF-8) becomes GBK,
// each "%s" takes the next argument: converted to GBK when it is well-formed UTF-8 (a file
// name of a UTF-8 system, a reason), byte for byte otherwise (names are data).
std::string FormatImportMessage(std::string_view utf8Template,
                                std::initializer_list<std::string_view> args);

// Upper-cases the ASCII letters of a byte string.
std::string AsciiUpper(std::string_view text);

}  // namespace trasmo
