// Input generator of the rule fuzzer: rules drawn from the whole Perl syntax of Boost.Regex
// (escapes, named characters, properties, classes, odd repeats, groups of every kind,
// options, verbs), texts made of the pieces the patterns look for, in the format
// rule_fuzzer.cpp reads (pattern NUL format NUL ... text). Every other input goes to
// libFuzzer's own byte mutations.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

using Pool = std::vector<std::string_view>;

// clang-format off
const Pool kLiterals = {"a", "b", "x", "y", "z", "G", "P", "IO", "_", "1", "0", " ", "-", ">", ";",
    "#", ",", "\r", "\n", "\t", "\xA1", "\xC9", "=", "'", "\"", "~"};
const Pool kEscapes = {"\\a", "\\e", "\\f", "\\n", "\\r", "\\t", "\\v", "\\b", "\\B", "\\d", "\\D",
    "\\w", "\\W", "\\s", "\\S", "\\l", "\\L", "\\u", "\\U", "\\h", "\\H", "\\V", "\\A", "\\z",
    "\\Z", "\\G", "\\<", "\\>", "\\`", "\\'", "\\x41", "\\x5B", "\\x{41}", "\\x{5b}", "\\x",
    "\\x4", "\\cA", "\\c[", "\\0", "\\012", "\\0101", "\\101", "\\1", "\\2", "\\9", "\\g1",
    "\\g-1", "\\g{1}", "\\g{-1}", "\\g{n}", "\\k<n>", "\\k'n'", "\\k{n}",
    "\\N{left-square-bracket}", "\\N{space}", "\\N{a}", "\\N{nosuchname}", "\\N", "\\pL", "\\pd",
    "\\p{alpha}", "\\p{Lu}", "\\P{digit}", "\\PL", "\\X", "\\C", "\\R", "\\K", "\\E", "\\Q",
    "\\Qa.b\\E", "\\Q(x", "\\j", "\\_", "\\ ", "\\\\", "\\.", "\\[", "\\]", "\\(", "\\)", "\\{",
    "\\}", "\\*", "\\+", "\\?", "\\|", "\\^", "\\$", "\\/", "\\-", "\\#", "\\&", "\\~", "\\!",
    "\\\"", "\\%", "\\,", "\\:", "\\;", "\\=", "\\@", "\\\xA1"};
const Pool kSpecials = {".", "^", "$", "]", "}", "{", "{1", "{1|", "{,2}", "{a}", "|", "||", ")",
    "(", "*", "+", "?"};
const Pool kClasses = {"[abc]", "[^a-z]", "[]a]", "[^]a]", "[[:alpha:]]", "[[:^digit:]]",
    "[[:word:]]", "[[.a.]]", "[[.space.]]", "[[=a=]]", "[\\d\\-]", "[a\\]]", "[\\b]", "[z-a]",
    "[\\w-z]", "[\\x41-\\x5a]", "[\\N{space}x]", "[a-]", "[-a]", "[^\\s]", "[\\Qa]\\E]", "[\\pL]",
    "[", "[]", "[^]", "[a[b]", "[x{1|y}]", "[\\x{41}]", "[\\0101]", "[\\cA]", "[\\n]"};
const Pool kOpenings = {"(", "(?:", "(?i)", "(?i:", "(?-i)", "(?x)", "(?x:", "(?s)", "(?m)",
    "(?s-m)", "(?=", "(?!", "(?<=", "(?<!", "(?>", "(?<n>", "(?'n'", "(?P<n>", "(?|", "(?(1)",
    "(?(?=a)", "(?(<n>)", "(?imsx-imsx:", "(?#c)", "(?#", "(?", "(?R)", "(?1)", "(?&n)", "(?+1)",
    "(?-1)"};
const Pool kVerbs = {"(*PRUNE)", "(*SKIP)", "(*MARK:x)", "(*COMMIT)", "(*FAIL)", "(*F)",
    "(*ACCEPT)", "(*THEN)", "(*UNKNOWN)", "(*"};
const Pool kRepeats = {"?", "*", "+", "??", "*?", "+?", "?+", "*+", "++", "{2}", "{0}", "{1,}",
    "{0,2}", "{2,1}", "{2}?", "{1,}+", "{", "{1", "{1,", "{,2}", "{ 1}", "{1 ,2}", "{1}{2}", "**",
    "*{2}", "{99999999}", "{1,3}?", "{x}", "{1|y}"};
const Pool kFormats = {"Q", "x", "", "$&", "$0", "$1", "$2", "${1}", "$`", "$'", "$$", "$+",
    "$+{n}", "\\1", "\\n", "(", "?1a:b", "(?1a:b)", "$", "\\", "$&$&", "${^PREMATCH}", "${^MATCH}"};
// clang-format on

class Generator {
  public:
    explicit Generator(unsigned seed) : m_rng(seed) {}

    std::size_t Below(std::size_t n) {
        return n ? std::uniform_int_distribution<std::size_t>(0, n - 1)(m_rng) : 0;
    }
    bool OneIn(std::size_t n) { return Below(n) == 0; }
    std::string_view Pick(const Pool& p) { return p[Below(p.size())]; }

    std::string Pattern(int depth = 0) {
        std::string p;
        const std::size_t items = 1 + Below(depth ? 3 : 5);
        for (std::size_t i = 0; i < items; ++i) {
            p += Atom(depth);
            if (OneIn(3)) p += Pick(kRepeats);
            if (OneIn(8)) p += '|';
        }
        return p;
    }

    // A text holding pieces of the patterns (their characters, runs of them) among others.
    std::string Text(const std::vector<std::string>& patterns) {
        std::string t;
        const std::size_t pieces = 1 + Below(OneIn(8) ? 200 : 24);
        for (std::size_t i = 0; i < pieces && t.size() < 300; ++i) {
            switch (Below(5)) {
                case 0:
                    t += Pick(kLiterals);
                    break;
                case 1:
                    t.append(1 + Below(OneIn(4) ? 200 : 8), Pick(kLiterals)[0]);
                    break;
                case 2:
                    t += Pick({"x{1 yz", "[", "GPIOA->ODR", "\r\n", "(", "{2}", "Ab12", "N{"});
                    break;
                default: {
                    const std::string& p = patterns[Below(patterns.size())];
                    const std::size_t at = Below(p.size()), len = 1 + Below(6);
                    for (char c : p.substr(at, len))
                        if (c != '\\' || OneIn(3)) t += c;
                }
            }
        }
        return t;
    }

    std::string Format() {
        std::string f(Pick(kFormats));
        if (OneIn(3)) f += Pick(kFormats);
        return f.empty() ? "Q" : f;
    }

  private:
    std::string Atom(int depth) {
        switch (Below(depth < 2 ? 9 : 6)) {
            case 0:
            case 1:
                return std::string(Pick(kLiterals));
            case 2:
                return std::string(Pick(kEscapes));
            case 3:
                return std::string(Pick(kClasses));
            case 4:
                return std::string(Pick(kSpecials));
            case 5:
                return std::string(Pick(kVerbs));
            default: {
                std::string_view open = Pick(kOpenings);
                // Openings that are whole ("(?i)", "(?R)", a comment) stand alone.
                if (open.back() == ')' || open == "(?#" || open == "(?") return std::string(open);
                std::string g(open);
                g += Pattern(depth + 1);
                if (OneIn(3)) g += "|" + Pattern(depth + 1);
                if (!OneIn(10)) g += ')';
                return g;
            }
        }
    }

    std::mt19937 m_rng;
};

// The rules and the text of an input: pattern, format, ..., text.
std::vector<std::string> Fields(std::string_view in) {
    std::vector<std::string> f;
    for (std::size_t nul; (nul = in.find('\0')) != std::string_view::npos && f.size() < 8;
         in.remove_prefix(nul + 1))
        f.emplace_back(in.substr(0, nul));
    f.emplace_back(in.substr(0, in.find('\0')));
    return f;
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned seed) {
    Generator gen(seed);
    if (gen.OneIn(4)) return LLVMFuzzerMutate(data, size, maxSize);
    std::vector<std::string> f = Fields({reinterpret_cast<const char*>(data), size});
    const bool fresh = f.size() < 3 || f.size() % 2 == 0 || gen.OneIn(2);
    if (fresh) {
        f.clear();
        for (std::size_t rules = 1 + gen.Below(3); rules > 0; --rules)
            f.push_back(gen.Pattern()), f.push_back(gen.Format());
        f.emplace_back();
    } else {
        // One piece of an existing input changes: a rule's pattern grows a construct or is
        // drawn anew, or a format or the text is drawn anew.
        const std::size_t rule = gen.Below(f.size() / 2) * 2;
        switch (gen.Below(4)) {
            case 0:
                f[rule].insert(gen.Below(f[rule].size() + 1), gen.Pattern(2));
                break;
            case 1:
                f[rule] = gen.Pattern();
                break;
            case 2:
                f[rule + 1] = gen.Format();
                break;
            default:
                break;
        }
    }
    std::vector<std::string> patterns;
    for (std::size_t i = 0; i + 1 < f.size(); i += 2) patterns.push_back(f[i]);
    if (fresh || gen.OneIn(2)) f.back() = gen.Text(patterns);
    std::string out;
    for (std::size_t i = 0; i < f.size(); ++i) {
        // Short patterns and texts: the library's search limit grows with the square of the
        // pattern's length times the text's, and a search near it takes seconds here.
        out += f[i].substr(0, i + 1 < f.size() ? 60 : 300);
        if (i + 1 < f.size()) out += '\0';
    }
    if (out.size() > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    std::memcpy(data, out.data(), out.size());
    return out.size();
}
