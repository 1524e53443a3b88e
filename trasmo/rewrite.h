// Rewriting of one C source or header with the substitution table g_regexMaps.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

struct CompiledRules;

// The rules of g_regexMaps compiled once; rebuilt only when the table changes.
// Call from the walking thread; the result may be shared with worker threads.
std::shared_ptr<const CompiledRules> CurrentRules();

// A file's new content written beside it under a temporary name; removed unless it was
// renamed over its target.
class StagedFile {
  public:
    StagedFile() = default;
    StagedFile(StagedFile&& other) noexcept { *this = std::move(other); }
    StagedFile& operator=(StagedFile&& other) noexcept;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() { Discard(); }

    // Creates the temporary file beside `target` and writes `data`; see created()/written().
    void Stage(const std::string& target, std::string_view data, mode_t mode);
    bool tried() const { return m_tried; }
    bool created() const { return m_created; }
    bool written() const { return m_written; }
    // Renames the staged file over `target`; false when that fails.
    bool Commit(const std::string& target);
    void Discard();

  private:
    std::string m_name;
    bool m_tried = false, m_created = false, m_written = false;
};

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
void StageOutcome(const std::string& path, std::string_view content, RuleOutcome* outcome,
                  mode_t mode);
RuleOutcome ApplyRules(const CompiledRules& rules, std::string_view content);

// Writes the outcome over `path` (temporary file + rename) with the markers "4.8" to
// "4.13" and the change report; false when the file cannot be re-created or written whole.
bool CommitRewrite(const std::string& path, std::string_view fileName, std::string_view content,
                   RuleOutcome& outcome, mode_t mode);

// Applies the table to `content` and writes the result over `path`.
bool RewriteSourceFile(const std::string& path, std::string_view fileName,
                       std::string_view content);

// A literal every match of `pattern` must contain (empty when none can be told);
// a rule whose literal is absent from a text cannot change it.
std::string RequiredLiteral(std::string_view pattern);

// True when the text holds a line end that the length scan accepts.
bool HasQualifyingLineEnd(std::string_view text);
