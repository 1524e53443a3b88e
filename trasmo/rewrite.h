// Rewriting of one C source or header with the substitution table g_regexMaps.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "trasmo/staging.h"

namespace trasmo {

struct CompiledRules;

// The rules of g_regexMaps compiled once; rebuilt only when the table changes.
// Call from the walking thread; the result may be shared with worker threads.
std::shared_ptr<const CompiledRules> CurrentRules();

// Outcome of applying the rules to one file's content (pure, thread-safe).
struct RuleOutcome {
    bool ok = true;               // false: a rule was rejected or threw; the file stays as it is
    bool writeBackWhole = false;  // the text is empty: the old content goes back unchanged
    std::string text;
    std::string failedSection;  // the rule that failed, when !ok
    std::string failedPattern;
    StagedFile staged;  // prepared ahead by a worker, or made by CommitRewrite
};

// Writes the data the outcome will put in place to a temporary file beside `path`.
// The staged file takes the mode, owner and group of `like`, the file it replaces.
void StageOutcome(const std::string& path, std::string_view content, RuleOutcome* outcome,
                  const struct stat& like);
RuleOutcome ApplyRules(const CompiledRules& rules, std::string_view content);

// Writes the outcome over `path` (temporary file + rename) with the markers "4.8" to
// "4.13" and the change report; false when the file cannot be re-created or written whole.
bool CommitRewrite(const std::string& path, std::string_view fileName, std::string_view content,
                   RuleOutcome& outcome, const struct stat& like);

// Applies the table to `content` and writes the result over `path`.
bool RewriteSourceFile(const std::string& path, std::string_view fileName,
                       std::string_view content);

// True when the text holds a line end that the length scan accepts.
bool HasQualifyingLineEnd(std::string_view text);

}  // namespace trasmo
