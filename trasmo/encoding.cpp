// GBK messages through iconv, and ASCII upper case.
#include "trasmo/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

std::string ToGbk(std::string_view utf8) {
    iconv_t cd = ::iconv_open("GBK", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(utf8);
    std::string out;
    std::vector<char> in(utf8.begin(), utf8.end());
    char* src = in.data();
    std::size_t left = in.size();
    char chunk[256];
    while (left > 0) {
        char* dst = chunk;
        std::size_t room = sizeof chunk;
        std::size_t r = ::iconv(cd, &src, &left, &dst, &room);
        out.append(chunk, static_cast<std::size_t>(dst - chunk));
        if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // Not convertible: pass the byte on and go on after it.
            out.push_back(*src);
            ++src;
            --left;
        }
    }
    ::iconv_close(cd);
    return out;
}

std::string FormatImportMessage(std::string_view utf8Template,
                                std::initializer_list<std::string_view> args) {
    std::string out;
    auto arg = args.begin();
    while (true) {
        std::size_t p = utf8Template.find("%s");
        if (p == std::string_view::npos) break;
        out += ToGbk(utf8Template.substr(0, p));
        if (arg != args.end()) out.append(*arg++);
        utf8Template.remove_prefix(p + 2);
    }
    out += ToGbk(utf8Template);
    return out;
}

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}
