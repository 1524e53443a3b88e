// GBK messages through iconv, and ASCII upper case.
#include "trasmo/encoding.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace trasmo {

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

bool IsUtf8(std::string_view t) {
    for (std::size_t i = 0; i < t.size();) {
        const auto c = static_cast<unsigned char>(t[i]);
        std::size_t n = c < 0x80                 ? 0
                        : c >= 0xC2 && c <= 0xDF ? 1
                        : c >= 0xE0 && c <= 0xEF ? 2
                        : c >= 0xF0 && c <= 0xF4 ? 3
                                                 : 4;
        if (n == 4 || (n > 0 && i + n >= t.size())) return false;
        const auto c1 = static_cast<unsigned char>(n ? t[i + 1] : 0);
        // No overlong forms, no surrogates, nothing above U+10FFFF.
        if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) ||
            (c == 0xF4 && c1 > 0x8F))
            return false;
        for (std::size_t k = 1; k <= n; ++k)
            if ((static_cast<unsigned char>(t[i + k]) & 0xC0) != 0x80) return false;
        i += n + 1;
    }
    return true;
}

std::string FormatImportMessage(std::string_view utf8Template,
                                std::initializer_list<std::string_view> args) {
    std::string out;
    auto arg = args.begin();
    while (true) {
        std::size_t p = utf8Template.find("%s");
        if (p == std::string_view::npos) break;
        out += ToGbk(utf8Template.substr(0, p));
        if (arg != args.end()) {
            out += IsUtf8(*arg) ? ToGbk(*arg) : std::string(*arg);
            ++arg;
        }
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

}  // namespace trasmo
