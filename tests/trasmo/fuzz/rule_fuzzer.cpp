// libFuzzer entry for the rule filter: up to four rules and a text (pattern NUL format NUL ...
// text) through the converter's rewriting and through plain boost::regex_replace; any
// difference in the text or in whether a rule failed is a crash. The test suite runs the
// comparison over the seed corpus.
#include <algorithm>
#include <boost/regex.hpp>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "trasmo/prefilter.h"
#include "trasmo/rewrite.h"
#include "trasmo/tables.h"

// False when the two differ; true also for inputs that cannot be compared.
bool SameAsPlainReplace(std::string_view in) {
    ResetConverterState();
    for (std::size_t i = 0; i < 8 && in.find('\0') != std::string_view::npos; ++i) {
        // Fields as the table holds them: at most 199 characters, NUL-terminated.
        char* field = i % 2 ? g_regexMaps[i / 2].dest : g_regexMaps[i / 2].sour;
        field[in.substr(0, std::min<std::size_t>(in.find('\0'), 199)).copy(field, 199)] = '\0';
        in.remove_prefix(in.find('\0') + 1);
    }
    std::string text(in.substr(0, std::min<std::size_t>(in.find('\0'), 2048)));
    // Formats that could grow the text past 16 MiB (each "$" or "\\" may repeat the match or
    // the text around it) test nothing but the machine's memory; a pattern the library never
    // finishes compiling is rejected by the converter without asking it.
    std::size_t n = text.size();
    for (const RegexMapEntry& e : g_regexMaps) {
        std::string_view sour(e.sour), dest(e.dest);
        auto refs =
            std::count_if(dest.begin(), dest.end(), [](char c) { return c == '$' || c == '\\'; });
        if (sour.size() > 1) n += (n + 1) * (dest.size() + static_cast<std::size_t>(refs) * n);
        if (n > (16u << 20) || StallsTheCompiler(sour)) return true;
    }
    RuleOutcome got = ApplyRules(*CurrentRules(), text);
    std::optional<std::string> plain = text;  // the rules one after the other, library alone
    for (const RegexMapEntry& e : g_regexMaps) {
        std::string sour(e.sour), dest(e.dest);
        if (sour.size() < 2 || dest.empty() || !plain) continue;
        try {
            plain = boost::regex_replace(*plain, boost::regex(sour), dest);
        } catch (const std::exception&) {
            plain.reset();
        }
    }
    return got.ok == plain.has_value() && (!got.ok || got.text == *plain);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!SameAsPlainReplace({reinterpret_cast<const char*>(data), size})) std::abort();
    return 0;
}
