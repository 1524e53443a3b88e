// Fuzzer of the rule filter: up to four rules and a text (pattern NUL format NUL ... text)
// rewritten by the converter and by plain boost::regex_replace must come out the same.
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

using namespace trasmo;

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
    // Skipped: formats that could grow the text past 256 KiB (each "$" or "\\" may repeat the
    // match or the text around it; a search over a longer text may take a minute before the
    // library gives up), and patterns the library never finishes compiling or searching with.
    std::optional<std::string> plain = text;  // the rules one after the other, library alone
    for (std::size_t n = text.size(); const RegexMapEntry& e : g_regexMaps) {
        const std::string sour(e.sour), dest(e.dest);
        auto refs =
            std::count_if(dest.begin(), dest.end(), [](char c) { return c == '$' || c == '\\'; });
        if (sour.size() > 1) n += (n + 1) * (dest.size() + static_cast<std::size_t>(refs) * n);
        if (n > (256u << 10) || StallsTheLibrary(sour)) return true;
        if (sour.size() < 2 || dest.empty() || !plain) continue;
        try {
            plain = boost::regex_replace(*plain, boost::regex(sour), dest);
        } catch (const std::exception&) {
            plain.reset();
        }
    }
    RuleOutcome got = ApplyRules(*CurrentRules(), text);
    return got.ok == plain.has_value() && (!got.ok || got.text == *plain);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!SameAsPlainReplace({reinterpret_cast<const char*>(data), size})) std::abort();
    return 0;
}
