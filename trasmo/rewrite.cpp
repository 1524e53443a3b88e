// Source rewriting: rule application with Boost.Regex, atomic write-back, change report.
#include "rewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <boost/regex.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "tables.h"

struct CompiledRule {
    std::optional<boost::regex> expression;  // empty when the pattern was rejected
    std::string dest;
    std::string literal;
    std::string section;
    std::string pattern;
};

struct CompiledRules {
    std::array<RegexMapEntry, kMaxRegexMaps> source{};
    std::vector<CompiledRule> rules;  // applicable slots in slot order
};

namespace {

std::shared_ptr<const CompiledRules> g_compiled;

std::shared_ptr<const CompiledRules> Compile() {
    auto set = std::make_shared<CompiledRules>();
    set->source = g_regexMaps;
    for (const RegexMapEntry& e : g_regexMaps) {
        std::string_view sour(e.sour, ::strnlen(e.sour, sizeof e.sour));
        std::string_view dest(e.dest, ::strnlen(e.dest, sizeof e.dest));
        if (sour.size() < 2 || dest.empty()) continue;
        CompiledRule rule;
        rule.dest = std::string(dest);
        rule.pattern = std::string(sour);
        rule.section = std::string(e.section, ::strnlen(e.section, sizeof e.section));
        try {
            rule.expression.emplace(rule.pattern);
            rule.literal = RequiredLiteral(sour);
        } catch (const std::exception&) {
            rule.expression.reset();
        }
        set->rules.push_back(std::move(rule));
    }
    return set;
}

// The replacement of boost::regex_replace with default flags, with the unmatched text
// appended in blocks instead of one character at a time; without a match the text is
// left as it is.
void ReplaceAll(std::string* text, const boost::regex& re, const std::string& format) {
    boost::sregex_iterator it(text->cbegin(), text->cend(), re), end;
    if (it == end) return;
    std::string out;
    out.reserve(text->size() + text->size() / 8);
    auto last = text->cbegin();
    for (; it != end; ++it) {
        const boost::smatch& m = *it;
        out.append(m.prefix().first, m.prefix().second);
        m.format(std::back_inserter(out), format, boost::format_default, re);
        last = m[0].second;
    }
    out.append(last, text->cend());
    *text = std::move(out);
}

bool IsLiteralEscape(char c) {
    return std::strchr(".\\()[]{}*+?|^$/-#&%@!\",:;=~_ ", c) != nullptr;
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t r = ::write(fd, data.data(), data.size());
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(r));
    }
    return true;
}

}  // namespace

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
    if (this != &other) {
        Discard();
        m_name = std::move(other.m_name);
        other.m_name.clear();
        m_tried = other.m_tried;
        m_created = other.m_created;
        m_written = other.m_written;
    }
    return *this;
}

void StagedFile::Stage(const std::string& target, std::string_view data, mode_t mode) {
    Discard();
    m_tried = true;
    std::size_t slash = target.rfind('/');
    std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash);
    std::string pattern = dir + "/.trasmo-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    int fd = ::mkostemp(buf.data(), O_CLOEXEC);
    if (fd < 0) return;
    m_name = buf.data();
    m_created = true;
    ::fchmod(fd, mode & 07777);
    bool ok = WriteAll(fd, data);
    m_written = ::close(fd) == 0 && ok;
}

bool StagedFile::Commit(const std::string& target) {
    if (m_name.empty() || ::rename(m_name.c_str(), target.c_str()) != 0) return false;
    m_name.clear();
    return true;
}

void StagedFile::Discard() {
    if (!m_name.empty()) ::unlink(m_name.c_str());
    m_name.clear();
    m_tried = m_created = m_written = false;
}

void StageOutcome(const std::string& path, std::string_view content, RuleOutcome* outcome,
                  mode_t mode) {
    if (!outcome->ok) return;
    outcome->staged.Stage(path, outcome->writeBackWhole ? content : outcome->text, mode);
}

std::shared_ptr<const CompiledRules> CurrentRules() {
    if (!g_compiled ||
        std::memcmp(g_compiled->source.data(), g_regexMaps.data(), sizeof g_regexMaps) != 0)
        g_compiled = Compile();
    return g_compiled;
}

std::string RequiredLiteral(std::string_view p) {
    // Only a plain top-level sequence is read; anything that could make a character
    // optional, alternative or case-insensitive ends the current run or gives up.
    if (p.find('[') != std::string_view::npos || p.find("\\Q") != std::string_view::npos) return {};
    std::string best, run;
    auto endRun = [&] {
        if (run.size() > best.size()) best = run;
        run.clear();
    };
    int depth = 0;
    bool afterGroup = false;  // a quantifier here applies to the group just closed
    for (std::size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        bool quantifier = c == '?' || c == '*' || c == '+' || c == '{';
        if (quantifier && depth == 0) {
            if (c == '{') {
                std::size_t close = p.find('}', i);
                if (close == std::string_view::npos) return {};
                i = close;
            }
            if (!afterGroup && !run.empty() && c != '+') run.pop_back();
            endRun();
            afterGroup = true;  // a following ? or + is a lazy/possessive modifier
            continue;
        }
        if (quantifier && afterGroup && (c == '?' || c == '+')) continue;
        afterGroup = false;
        if (c == '\\') {
            if (i + 1 >= p.size()) return {};
            char e = p[++i];
            if (depth == 0 && IsLiteralEscape(e)) {
                // Look ahead: a quantifier makes this character optional.
                run.push_back(e);
            } else if (depth == 0) {
                endRun();
            }
            continue;
        }
        if (c == '(') {
            if (i + 1 < p.size() && p[i + 1] == '?') {
                char k = i + 2 < p.size() ? p[i + 2] : '\0';
                if (k != ':' && k != '=' && k != '!' && k != '<') return {};
            }
            if (depth == 0) endRun();
            ++depth;
            continue;
        }
        if (c == ')') {
            if (depth == 0) return {};
            if (--depth == 0) afterGroup = true;
            continue;
        }
        if (depth > 0) continue;
        if (c == '|') return {};
        if (c == '.' || c == '^' || c == '$' || c == ']' || c == '}') {
            endRun();
            continue;
        }
        run.push_back(c);
    }
    if (depth != 0) return {};
    endRun();
    return best;
}

bool HasQualifyingLineEnd(std::string_view t) {
    const std::size_t n = t.size();
    for (std::size_t k = 2; k <= n; ++k) {
        if (t[k - 1] != '\n' || t[k - 2] != '\r') continue;
        if (k >= 3 && t[k - 3] == 'h') continue;
        if (k >= 4 && t[k - 4] == '.') continue;
        if (k >= 5 && t[k - 5] == 'p') continue;
        return true;
    }
    return false;
}

RuleOutcome ApplyRules(const CompiledRules& rules, std::string_view content) {
    RuleOutcome out;
    std::size_t nul = content.find('\0');
    if (nul != std::string_view::npos && nul > 0) {
        // Text after a NUL would be lost: the file goes back as it is.
        out.writeBackWhole = true;
        return out;
    }
    out.text = std::string(content.substr(0, nul));
    for (const CompiledRule& rule : rules.rules) {
        if (!rule.expression) {
            out.ok = false;
        } else if (!rule.literal.empty() && out.text.find(rule.literal) == std::string::npos) {
            continue;
        } else {
            try {
                ReplaceAll(&out.text, *rule.expression, rule.dest);
            } catch (const std::exception&) {
                out.ok = false;
            }
        }
        if (!out.ok) {
            out.failedSection = rule.section;
            out.failedPattern = rule.pattern;
            out.text.clear();
            return out;
        }
    }
    out.writeBackWhole = out.text.empty();
    return out;
}

bool CommitRewrite(const std::string& path, std::string_view fileName, std::string_view content,
                   RuleOutcome& outcome, mode_t mode) {
    if (!outcome.ok) {
        WriteLogLine(
            g_importLog,
            FormatImportMessage("****文件【%s】的替换规则【%s】（%s）无法应用，文件保持原样***",
                                {path, outcome.failedSection, outcome.failedPattern}));
        return true;
    }
    // The new content goes to a temporary file that is renamed over the original, so the
    // file holds its old or its new content at every instant.
    if (!outcome.staged.tried()) StageOutcome(path, content, &outcome, mode);
    WriteLogLine(g_monitorLog, "4.8");
    if (!outcome.staged.created()) return false;
    WriteLogLine(g_monitorLog, "4.9");
    if (outcome.writeBackWhole) {
        if (!outcome.staged.written() || !outcome.staged.Commit(path)) return false;
        WriteLogLine(g_monitorLog, "4.13");
        return true;
    }
    const std::string& text = outcome.text;
    WriteLogLine(g_monitorLog, "4.10");
    if (!HasQualifyingLineEnd(text)) WriteLogLine(g_monitorLog, "4.11");
    // The whole text is written, whatever its line ends.
    const std::size_t length = text.size();
    const std::size_t common = length < content.size() ? length : content.size();
    if (length != content.size() && std::memcmp(text.data(), content.data(), common) != 0 &&
        fileName.size() > 1)
        WriteLogLine(
            g_importLog,
            FormatImportMessage("****文件【%s】替换了部分关键字，请注意校验代码***", {fileName}));
    if (!outcome.staged.written() || !outcome.staged.Commit(path)) return false;
    WriteLogLine(g_monitorLog, "4.12");
    return true;
}

bool RewriteSourceFile(const std::string& path, std::string_view fileName,
                       std::string_view content) {
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0644;
    RuleOutcome outcome = ApplyRules(*CurrentRules(), content);
    return CommitRewrite(path, fileName, content, outcome, mode);
}
