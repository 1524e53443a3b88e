// Which substitution rules can be skipped for a text without asking Boost.Regex.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace trasmo {

// A literal to look for in source texts, found by first looking for its least common byte.
class Literal {
  public:
    Literal() = default;
    explicit Literal(std::string text);
    const std::string& text() const { return m_text; }
    bool empty() const { return m_text.empty(); }
    // Where it first stands in `text` at or after `from`; npos when nowhere.
    std::size_t FindIn(std::string_view text, std::size_t from = 0) const;

  private:
    std::string m_text;
    std::size_t m_anchor = 0;
};

// What a rule's pattern tells before it is applied. The pattern is read by a parser of this
// subset of the Perl syntax, and only a pattern read through to its end is looked into:
//
//   pattern      := alternatives
//   alternatives := sequence ('|' sequence)*
//   sequence     := (atom quantifier?)*
//   atom         := literal | '\' punct | '\b' | '\B' | '\d' | '\D' | '\w' | '\W' | '\s'
//                 | '\S' | '.' | class | '(' alternatives ')' | '(?:' alternatives ')'
//   literal      := any character but \ . [ ] ( ) { } * + ? | ^ $
//   punct        := one of \ . [ ] ( ) { } * + ? | ^ $ / - # & ~ ! " % , : ; = @
//   class        := '[' '^'? member+ ']'
//   member       := any character but [ ] \ | '\' punct | '\d' | '\D' | '\w' | '\W'
//                 | '\s' | '\S'
//   quantifier   := ('?' | '*' | '+' | '{' n '}' | '{' n ',}' | '{' n ',' m '}') ('?' | '+')?
//                   n <= m, up to 6 digits; not after \b or \B, nor before another
//                   quantifier character or '{'
//
// Anything else anywhere in a pattern (other escapes, "(?" forms but "(?:", verbs, a '{'
// that does not make such a quantifier, a ']' or '}' on its own, classes with '[' inside)
// makes the whole pattern unknown, and an unknown pattern is always applied: only a pattern
// of the subset can get a plan other than `whole`.
//
// Boost.Regex stops with an error when a search takes too many steps for the text's and the
// pattern's length; a plan other than `whole` is given only where no search of the rule can
// come near that limit, so that every plan has the outcome of applying the rule to the whole
// text.
class RuleFilter {
  public:
    enum class Plan {
        skip,       // no match is possible, and looking for one would end without error
        atLeading,  // matches, if any, start where the leading literal stands; none errs
        whole,      // nothing known: search the whole text
    };

    explicit RuleFilter(std::string_view pattern);

    Plan PlanFor(std::string_view text) const;

    // The literal every match begins with (after zero-width tests); empty when unknown.
    const Literal& leading() const { return m_leading; }

  private:
    bool Bounded(std::string_view text) const;

    bool m_inSubset = false;  // the whole pattern was read by the subset's parser
    Literal m_leading;
    // For a pattern without alternatives or repeated groups: the literals every match holds,
    // and how many atoms carry a quantifier; -1 for any other pattern.
    std::vector<Literal> m_required;
    int m_repeats = -1;
    std::size_t m_length = 0;
};

// True for a pattern that Boost.Regex 1.74 never finishes compiling or searching with: a
// possessive repeat followed by a comment group and then by anything but a parenthesis, a
// repeat or the end (the compiler loops); a pattern with the verb (*SKIP) or (*ACCEPT)
// (searches loop for ever with them in many places: a negative look-around, a repeated
// group, a repeat of the verb itself next to other verbs); a pattern with a recursion or
// subroutine call and a look-behind (a call inside the look-behind recurses for ever).
// Such a pattern is treated as rejected.
// May also be true for a few odd patterns that would work (the same characters inside \Q...\E or a
// class, a verb outside the test).
bool StallsTheLibrary(std::string_view pattern);

}  // namespace trasmo
