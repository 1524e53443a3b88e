// Rule filter: a parser for a declared subset of the Perl syntax (any other pattern is always
// applied), the literals a match needs, and the bound on Boost.Regex's work that makes a skip
// safe.
#include "trasmo/prefilter.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace trasmo {

namespace {

struct Node;
using Sequence = std::vector<Node>;

// One element of a pattern, as far as its leading literal is concerned.
struct Node {
    enum Kind { literal, oneChar, zeroWidth, group } kind = literal;
    char ch = 0;                         // literal
    std::vector<Sequence> alternatives;  // group
    bool quantified = false;
    unsigned long minRepeat = 1;
};

// Punctuation that an escape turns into itself. Left out: "\<", "\>", "\`" and "\'", which
// are tests, and every other character, whose escapes mean something or may come to.
bool IsPlainEscape(char c) {
    return c != '\0' && std::strchr(".[](){}*+?|^$\\/-#&~!\"%,:;=@", c) != nullptr;
}

// Characters that stand for themselves outside a class.
bool IsPlainLiteral(char c) { return c != '\0' && std::strchr(".[](){}*+?|^$\\", c) == nullptr; }

bool IsClassEscape(char c) { return c != '\0' && std::strchr("dDwWsS", c) != nullptr; }

// Reads a pattern of the subset described in prefilter.h. Every function answers false at
// the first character the subset does not hold, and the whole pattern is then unknown.
class Parser {
  public:
    explicit Parser(std::string_view p) : m_p(p) {}

    // The whole pattern as alternatives; false when any part of it is outside the subset.
    bool Parse(std::vector<Sequence>* top) { return Alternatives(top) && m_i == m_p.size(); }

  private:
    bool AtEnd() const { return m_i >= m_p.size(); }
    char Peek(std::size_t ahead = 0) const {
        return m_i + ahead < m_p.size() ? m_p[m_i + ahead] : '\0';
    }

    // alternatives := sequence ('|' sequence)*, up to a ')' (left for the caller) or the end.
    bool Alternatives(std::vector<Sequence>* alts) {
        alts->emplace_back();
        while (!AtEnd() && Peek() != ')') {
            if (Peek() == '|') {
                ++m_i;
                alts->emplace_back();
                continue;
            }
            Node n;
            if (!Atom(&n) || !Quantifier(&n)) return false;
            alts->back().push_back(std::move(n));
        }
        return true;
    }

    // atom := literal | '\' plain | '\' [bBdDwWsS] | '.' | class | '(' alts ')' | '(?:' alts ')'
    bool Atom(Node* n) {
        const char c = Peek();
        if (c == '\\') return Escape(n);
        if (c == '[') return Class(n);
        if (c == '(') {
            ++m_i;
            if (Peek() == '?') {
                if (Peek(1) != ':') return false;
                m_i += 2;
            }
            n->kind = Node::group;
            if (!Alternatives(&n->alternatives) || Peek() != ')') return false;
            ++m_i;
            return true;
        }
        if (c == '.') {
            n->kind = Node::oneChar;
        } else if (IsPlainLiteral(c)) {
            n->kind = Node::literal;
            n->ch = c;
        } else {
            return false;
        }
        ++m_i;
        return true;
    }

    bool Escape(Node* n) {
        const char e = Peek(1);
        m_i += 2;
        if (e == 'b' || e == 'B') {
            n->kind = Node::zeroWidth;
        } else if (IsClassEscape(e)) {
            n->kind = Node::oneChar;
        } else if (IsPlainEscape(e)) {
            n->kind = Node::literal;
            n->ch = e;
        } else {
            return false;
        }
        return true;
    }

    // class := '[' '^'? member+ ']', member := any character but '[', ']' and '\', or '\'
    // followed by a plain punctuation or [dDwWsS]. It matches one character.
    bool Class(Node* n) {
        ++m_i;
        if (Peek() == '^') ++m_i;
        std::size_t members = 0;
        for (;; ++members) {
            const char c = Peek();
            if (c == ']') break;
            if (c == '\0' || c == '[') return false;
            if (c == '\\') {
                if (!IsPlainEscape(Peek(1)) && !IsClassEscape(Peek(1))) return false;
                ++m_i;
            }
            ++m_i;
        }
        ++m_i;
        n->kind = Node::oneChar;
        return members > 0;
    }

    bool Number(unsigned long* v) {
        std::size_t start = m_i;
        *v = 0;
        while (!AtEnd() && Peek() >= '0' && Peek() <= '9' && m_i - start < 6)
            *v = *v * 10 + static_cast<unsigned long>(Peek() - '0'), ++m_i;
        return m_i > start && !(Peek() >= '0' && Peek() <= '9');
    }

    // quantifier := ('?' | '*' | '+' | '{' n '}' | '{' n ',}' | '{' n ',' m '}') ('?' | '+')?
    // after any atom but \b and \B, and not followed by another one.
    bool Quantifier(Node* n) {
        const char c = Peek();
        if (c != '*' && c != '+' && c != '?' && c != '{') return true;
        if (n->kind == Node::zeroWidth) return false;
        ++m_i;
        n->quantified = true;
        n->minRepeat = c == '+' ? 1 : 0;
        if (c == '{') {
            unsigned long max = 0;
            if (!Number(&n->minRepeat)) return false;
            if (Peek() == ',') {
                ++m_i;
                if (Peek() != '}' && (!Number(&max) || max < n->minRepeat)) return false;
            }
            if (Peek() != '}') return false;
            ++m_i;
        }
        if (Peek() == '?' || Peek() == '+') ++m_i;  // lazy or possessive
        const char next = Peek();
        return !(next == '*' || next == '+' || next == '?' || next == '{');
    }

    std::string_view m_p;
    std::size_t m_i = 0;
};

// Appends to `lit` what every match of `seq` begins with. True when the whole sequence was
// read through, so that what follows it may extend the literal.
bool Lead(const Sequence& seq, std::string* lit) {
    for (const Node& n : seq) {
        switch (n.kind) {
            case Node::zeroWidth:
                if (!lit->empty()) return false;
                break;
            case Node::oneChar:
                return false;
            case Node::literal:
                if (n.quantified) {
                    if (n.minRepeat >= 1) lit->push_back(n.ch);
                    return false;
                }
                lit->push_back(n.ch);
                break;
            case Node::group:
                if (n.quantified || n.alternatives.size() != 1) return false;
                if (!Lead(n.alternatives[0], lit)) return false;
                break;
        }
    }
    return true;
}

// For a sequence without alternatives or quantified groups, which has exactly one way
// through: collects the runs of literal characters every match holds (in `runs`, whose last
// element is the run being built) and counts the quantified atoms. False for other sequences.
bool Flatten(const Sequence& seq, std::vector<std::string>* runs, int* repeats) {
    for (const Node& n : seq) {
        if (n.kind == Node::group) {
            if (n.quantified || n.alternatives.size() != 1) return false;
            if (!Flatten(n.alternatives[0], runs, repeats)) return false;
            continue;
        }
        if (n.quantified) ++*repeats;
        if (n.kind == Node::literal && (!n.quantified || n.minRepeat >= 1))
            runs->back().push_back(n.ch);
        if (n.kind != Node::literal || n.quantified) runs->emplace_back();
    }
    return true;
}

// How common a byte is in C sources, roughly: blanks and lower-case letters most, then
// punctuation of every line, digits, upper-case letters, other punctuation, other bytes.
int Commonness(unsigned char c) {
    if (c == ' ' || (c >= 'a' && c <= 'z')) return 6;
    if (c == '\r' || c == '\n' || c == '\t') return 5;
    if (std::strchr("();,*=_", c) != nullptr && c != '\0') return 4;
    if (c >= '0' && c <= '9') return 3;
    if (c >= 'A' && c <= 'Z') return 2;
    return c < 0x80 ? 1 : 0;
}

}  // namespace

Literal::Literal(std::string text) : m_text(std::move(text)) {
    for (std::size_t i = 1; i < m_text.size(); ++i)
        if (Commonness(static_cast<unsigned char>(m_text[i])) <
            Commonness(static_cast<unsigned char>(m_text[m_anchor])))
            m_anchor = i;
}

std::size_t Literal::FindIn(std::string_view text, std::size_t from) const {
    const std::size_t n = m_text.size();
    if (n == 0 || text.size() < n || from > text.size() - n) return std::string_view::npos;
    const char* p = text.data() + from + m_anchor;
    const char* last = text.data() + (text.size() - n) + m_anchor;  // anchor of the last start
    while (p <= last) {
        p = static_cast<const char*>(std::memchr(p, m_text[m_anchor], last - p + 1));
        if (p == nullptr) break;
        if (std::memcmp(p - m_anchor, m_text.data(), n) == 0)
            return static_cast<std::size_t>(p - m_anchor - text.data());
        ++p;
    }
    return std::string_view::npos;
}

RuleFilter::RuleFilter(std::string_view pattern) : m_length(pattern.size()) {
    std::vector<Sequence> top;
    m_inSubset = Parser(pattern).Parse(&top);
    if (!m_inSubset || top.size() != 1) return;
    std::string leading;
    Lead(top[0], &leading);
    m_leading = Literal(std::move(leading));
    std::vector<std::string> runs(1);
    int repeats = 0;
    if (!Flatten(top[0], &runs, &repeats)) return;
    for (std::string& r : runs)
        if (!r.empty()) m_required.emplace_back(std::move(r));
    m_repeats = repeats;
}

RuleFilter::Plan RuleFilter::PlanFor(std::string_view text) const {
    if (!m_inSubset) return Plan::whole;
    // Without its leading literal no position of the text gets past a few states.
    if (!m_leading.empty() && m_leading.FindIn(text) == std::string_view::npos) return Plan::skip;
    if (!Bounded(text)) return Plan::whole;
    for (const Literal& r : m_required)
        if (r.FindIn(text) == std::string_view::npos) return Plan::skip;
    return m_leading.empty() ? Plan::whole : Plan::atLeading;
}

// True when no search of the rule over `text` (or any end part of it) can reach Boost.Regex's
// limit of S*S*N + 100000 states (S the pattern's length, N the length searched). A pattern
// with one way through visits at most S + 2 states from each start. With one repeat, which
// then stands after the leading literal, a start where that literal stands may step back
// over the repeat up to N times, running the rest of the way again each time.
bool RuleFilter::Bounded(std::string_view text) const {
    if (m_repeats == 0) return true;
    if (m_repeats != 1 || m_leading.empty() || m_length < 3) return false;
    const std::size_t n = text.size();
    if (n > (std::size_t{1} << 36)) return false;
    const std::size_t way = m_length + 2;
    // Allowed starts with the literal for a search over n characters; it changes
    // monotonically with n, so the smallest value over 1..n is at one of the two ends.
    auto allowed = [&](std::size_t len) -> std::size_t {
        const std::size_t limit = m_length * m_length * len + 100000;
        const std::size_t base = (len + 1) * way;
        return base > limit ? 0 : (limit - base) / (way + len * (way + 2));
    };
    const std::size_t most = std::min(allowed(1), allowed(n ? n : 1));
    std::size_t found = 0;
    for (std::size_t at = m_leading.FindIn(text); at != std::string_view::npos;
         at = m_leading.FindIn(text, at + 1))
        if (++found > most) return false;
    return true;
}

bool StallsTheLibrary(std::string_view p) {
    auto has = [&](std::string_view s) { return p.find(s) != std::string_view::npos; };
    if (has("(*SKIP") || has("(*ACCEPT")) return true;
    // A recursion or subroutine call (?R), (?1), (?+1), (?-1), (?&name), (?P>name) together
    // with a look-behind, which may hold it.
    bool calls = has("(?R") || has("(?&") || has("(?P>");
    for (std::size_t at = p.find("(?"); !calls && at != std::string_view::npos;
         at = p.find("(?", at + 1)) {
        std::size_t d = at + 2 + (at + 2 < p.size() && (p[at + 2] == '+' || p[at + 2] == '-'));
        calls = d < p.size() && p[d] >= '0' && p[d] <= '9';
    }
    if (calls && (has("(?<=") || has("(?<!"))) return true;
    // With the x option spaces are skipped between the repeat, the comments and what follows;
    // where the option may be on, the pattern is read both ways.
    const bool mayBeSpaced = has("(?") && p.find('x') != std::string_view::npos;
    for (bool spaced : {false, mayBeSpaced}) {
        auto skipSpace = [&](std::size_t i) {
            while (spaced && i < p.size() && std::strchr(" \t\n\r\f\v", p[i]) && p[i] != '\0') ++i;
            return i;
        };
        for (std::size_t i = 1; i < p.size(); ++i) {
            if (p[i] != '+' || std::strchr("*+?}", p[i - 1]) == nullptr || p[i - 1] == '\0')
                continue;
            std::size_t escapes = 0;
            for (std::size_t k = i - 1; k > 0 && p[k - 1] == '\\'; --k) ++escapes;
            if (escapes % 2 != 0) continue;  // an escaped character, then an ordinary repeat
            bool comment = false;
            std::size_t j = skipSpace(i + 1);
            while (p.substr(j, 3) == "(?#") {
                comment = true;
                std::size_t close = p.find(')', j);
                j = close == std::string_view::npos ? p.size() : skipSpace(close + 1);
            }
            if (comment && j < p.size() && std::strchr("(*+?{", p[j]) == nullptr) return true;
        }
    }
    return false;
}

}  // namespace trasmo
