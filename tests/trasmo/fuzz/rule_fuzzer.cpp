// libFuzzer entry for the rule filter: rules and a text (pattern NUL format NUL ... text, four
// rules at most) through the converter's rewriting and through plain boost::regex_replace;
// any difference in the text or in whether a rule failed is a crash.
#include <algorithm>
#include <boost/regex.hpp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "trasmo/prefilter.h"
#include "trasmo/rewrite.h"
#include "trasmo/tables.h"

namespace {

// The table's rules applied one after the other with the library alone; empty when a
// pattern is rejected or a replacement gives up.
std::optional<std::string> Plain(std::string text) {
    for (const RegexMapEntry& e : g_regexMaps) {
        std::string sour(e.sour), dest(e.dest);
        if (sour.size() < 2 || dest.empty()) continue;
        try {
            text = boost::regex_replace(text, boost::regex(sour), dest);
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    return text;
}

// False when the formats could grow the text past a megabyte (a "$" or "\\" may repeat the
// match, or the text before or after it): such inputs test nothing but the machine's memory.
bool Bounded(std::size_t n) {
    for (const RegexMapEntry& e : g_regexMaps) {
        std::string_view d(e.dest);
        auto refs = static_cast<std::size_t>(
            std::count_if(d.begin(), d.end(), [](char c) { return c == '$' || c == '\\'; }));
        if (std::strlen(e.sour) > 1) n += (n + 1) * (d.size() + refs * n);
        if (n > (16u << 20)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view in(reinterpret_cast<const char*>(data), size);
    ResetConverterState();
    for (std::size_t i = 0; i < 8 && in.find('\0') != std::string_view::npos; ++i) {
        // Fields as the table holds them: at most 199 characters, NUL-terminated.
        char* field = i % 2 ? g_regexMaps[i / 2].dest : g_regexMaps[i / 2].sour;
        std::string_view value = in.substr(0, std::min<std::size_t>(in.find('\0'), 199));
        field[value.copy(field, value.size())] = '\0';
        in.remove_prefix(in.find('\0') + 1);
    }
    const std::string text(in.substr(0, std::min<std::size_t>(in.find('\0'), 2048)));
    if (!Bounded(text.size())) return 0;
    for (const RegexMapEntry& e : g_regexMaps)  // the library would never return
        if (StallsTheCompiler(e.sour)) return 0;
    RuleOutcome got = ApplyRules(*CurrentRules(), text);
    std::optional<std::string> expect = Plain(text);
    if (got.ok != expect.has_value() || (got.ok && got.text != *expect)) std::abort();
    return 0;
}
