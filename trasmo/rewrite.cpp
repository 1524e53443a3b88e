// Source rewriting: rule application with Boost.Regex, atomic write-back, change report.
#include "trasmo/rewrite.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <boost/regex.hpp>
#include <cstring>
#include <optional>
#include <vector>

#include "trasmo/encoding.h"
#include "trasmo/prefilter.h"
#include "trasmo/result_log.h"
#include "trasmo/tables.h"

namespace trasmo {

struct CompiledRule {
    std::optional<boost::regex> expression;  // empty when the pattern was rejected
    std::string dest;
    std::optional<RuleFilter> filter;  // set for an accepted pattern
    bool formatUsesPrefix = true;      // "$`" or a PREMATCH verb in the format
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
        rule.formatUsesPrefix = dest.find('`') != std::string_view::npos ||
                                dest.find("PREMATCH") != std::string_view::npos;
        rule.pattern = std::string(sour);
        rule.section = std::string(e.section, ::strnlen(e.section, sizeof e.section));
        try {
            if (!StallsTheLibrary(sour)) {
                rule.expression.emplace(rule.pattern);
                rule.filter.emplace(sour);
            }
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

// ReplaceAll where every match starts at an occurrence of `leading` and no search can reach
// the library's limits: the library is asked only at those places, anchored there, with the
// whole text before them in view for its look-behind tests. The format must not use the
// text before a match, which an anchored search does not report.
void ReplaceAtLeading(std::string* text, const boost::regex& re, const std::string& format,
                      const Literal& leading) {
    const std::string& t = *text;
    std::string out;
    bool replaced = false;
    std::size_t copied = 0;
    boost::smatch m;
    for (std::size_t from = 0;;) {
        const std::size_t at = leading.FindIn(t, from);
        if (at == std::string::npos) break;
        if (!boost::regex_search(t.cbegin() + static_cast<std::ptrdiff_t>(at), t.cend(), m, re,
                                 boost::match_continuous, t.cbegin())) {
            from = at + 1;
            continue;
        }
        if (!replaced) out.reserve(t.size() + t.size() / 8);
        replaced = true;
        out.append(t, copied, at - copied);
        m.format(std::back_inserter(out), format, boost::format_default, re);
        copied = from = static_cast<std::size_t>(m[0].second - t.cbegin());
    }
    if (!replaced) return;
    out.append(t, copied, std::string::npos);
    *text = std::move(out);
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

void StageOutcome(const std::string& path, std::string_view content, RuleOutcome* outcome,
                  const struct stat& like) {
    if (!outcome->ok) return;
    outcome->staged.Stage(FolderOf(path), outcome->writeBackWhole ? content : outcome->text, like);
}

std::shared_ptr<const CompiledRules> CurrentRules() {
    if (!g_compiled ||
        std::memcmp(g_compiled->source.data(), g_regexMaps.data(), sizeof g_regexMaps) != 0)
        g_compiled = Compile();
    return g_compiled;
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
        } else {
            RuleFilter::Plan plan = rule.filter->PlanFor(out.text);
            if (plan == RuleFilter::Plan::skip) continue;
            try {
                if (plan == RuleFilter::Plan::atLeading && !rule.formatUsesPrefix)
                    ReplaceAtLeading(&out.text, *rule.expression, rule.dest,
                                     rule.filter->leading());
                else
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

namespace {

// The file stays as it was and the walk of its folder ends: one line names the file, why, and
// the folder left unconverted; the result asks for a look by hand.
bool RewriteFailed(const std::string& path, int error) {
    g_manualConversion = 1;
    WriteLogLine(
        g_importLog,
        FormatImportMessage(
            "****文件【%s】未能改写（%s），文件保持原样，文件夹【%s】中其余的文件未转换***",
            {path, std::strerror(error), FolderOf(path)}));
    return false;
}

// Rules mark code no text rule can convert with a comment "/*TRASMO-MANUAL:NAME*/" before it.
// Each name marked anew in a file gets one line, and the result asks for work by hand.
void ReportMarkedConstructs(const std::string& path, std::string_view before,
                            std::string_view after) {
    static constexpr std::string_view kMark = "/*TRASMO-MANUAL:";
    auto find = [&](std::size_t from) {  // memmem: comment openings are everywhere in C
        const void* p =
            ::memmem(after.data() + from, after.size() - from, kMark.data(), kMark.size());
        return p ? static_cast<std::size_t>(static_cast<const char*>(p) - after.data())
                 : std::string_view::npos;
    };
    std::vector<std::string_view> said;
    for (std::size_t at = find(0); at != std::string_view::npos; at = find(at + 1)) {
        const std::size_t start = at + kMark.size(), end = after.find("*/", start);
        if (end == std::string_view::npos) break;
        const std::string_view marker = after.substr(at, end + 2 - at),
                               name = after.substr(start, end - start);
        if (before.find(marker) != std::string_view::npos ||
            std::find(said.begin(), said.end(), name) != said.end())
            continue;
        said.push_back(name);
        g_manualConversion = 1;
        WriteLogLine(
            g_importLog,
            FormatImportMessage("****文件【%s】中的【%s】无法自动转换，已加注释标记，请手动转换***",
                                {path, name}));
    }
}

}  // namespace

bool CommitRewrite(const std::string& path, std::string_view fileName, std::string_view content,
                   RuleOutcome& outcome, const struct stat& like) {
    if (!outcome.ok) {
        g_manualConversion = 1;
        WriteLogLine(
            g_importLog,
            FormatImportMessage("****文件【%s】的替换规则【%s】（%s）无法应用，文件保持原样***",
                                {path, outcome.failedSection, outcome.failedPattern}));
        return true;
    }
    // The new content goes to a file of its own that is renamed over the original once it is
    // complete, so the file holds its old or its new content at every instant.
    if (!outcome.staged.tried()) StageOutcome(path, content, &outcome, like);
    StagedFile& staged = outcome.staged;
    WriteLogLine(g_monitorLog, "4.8");
    if (!staged.created()) return RewriteFailed(path, staged.error());
    WriteLogLine(g_monitorLog, "4.9");
    if (outcome.writeBackWhole) {
        if (!staged.Commit(path)) return RewriteFailed(path, staged.error());
        // Text after a NUL (UTF-16, say) would be lost: the rules were not applied.
        if (!content.empty() && content[0] != '\0') {
            g_manualConversion = 1;
            WriteLogLine(g_importLog,
                         FormatImportMessage("****文件【%s】含有NUL字节，未作替换，文件保持原样***",
                                             {path}));
        }
        WriteLogLine(g_monitorLog, "4.13");
        return true;
    }
    const std::string& text = outcome.text;
    WriteLogLine(g_monitorLog, "4.10");
    if (!HasQualifyingLineEnd(text)) WriteLogLine(g_monitorLog, "4.11");
    // The whole text is written, whatever its line ends; the report follows the new content.
    if (!staged.Commit(path)) return RewriteFailed(path, staged.error());
    const std::size_t length = text.size();
    const std::size_t common = length < content.size() ? length : content.size();
    if (length != content.size() && std::memcmp(text.data(), content.data(), common) != 0 &&
        fileName.size() > 1)
        WriteLogLine(
            g_importLog,
            FormatImportMessage("****文件【%s】替换了部分关键字，请注意校验代码***", {fileName}));
    WriteLogLine(g_monitorLog, "4.12");
    ReportMarkedConstructs(path, content, text);
    return true;
}

bool RewriteSourceFile(const std::string& path, std::string_view fileName,
                       std::string_view content) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        st.st_mode = 0644, st.st_uid = ::geteuid(), st.st_gid = ::getegid();
    RuleOutcome outcome = ApplyRules(*CurrentRules(), content);
    return CommitRewrite(path, fileName, content, outcome, st);
}

}  // namespace trasmo
