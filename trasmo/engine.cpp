// Tree walk of the converter: rule lookup, ReplaceMatchedFile, C-file test, and the rewrite
// of C sources, prepared ahead by RewriteAhead.
#include "trasmo/engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <string_view>
#include <vector>

#include "platform/posix/posix_io.h"
#include "trasmo/encoding.h"
#include "trasmo/file_read.h"
#include "trasmo/result_log.h"
#include "trasmo/rewrite.h"
#include "trasmo/rewrite_ahead.h"
#include "trasmo/staging.h"
#include "trasmo/tables.h"

namespace {

constexpr std::size_t kMaxCompareName = 249;
const char* const kUsbHostFiles[] = {"ch32v10x_usb_host.h", "ch32v10x_usb_host.c"};

std::string_view Field(const char* f, std::size_t n) { return {f, ::strnlen(f, n)}; }

// Comparison copy: only names of 2 to 249 characters are compared as themselves.
std::string CompareName(std::string_view s) {
    if (s.size() < 2 || s.size() > kMaxCompareName) return {};
    return AsciiUpper(s);
}

// A table value names a file: the copy takes the value's last path component as its name,
// in the folder of the matched file. A value with ".." as a component would reach outside
// the resource folder, and one that ends in "/" names no file: both give an empty name.
std::string_view PlacedName(std::string_view value) {
    std::size_t start = 0;
    while (true) {
        std::size_t slash = value.find('/', start);
        std::string_view part = value.substr(
            start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part == "..") return {};
        if (slash == std::string_view::npos) return part == "." ? std::string_view{} : part;
        start = slash + 1;
    }
}

// One file from desDir on its way into the project folder.
struct Copy {
    std::string from;
    std::string_view as;
    StagedFile staged;
    std::string why;  // UTF-8, when it could not be made
};

// The copy step, made safe: the file is read and written whole beside its target first.
bool StageCopy(Copy& c, const std::string& projectDir) {
    posix_io::UniqueFd src(posix_io::Open(c.from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!src || ::fstat(src.Get(), &st) != 0) {
        c.why = std::strerror(errno);
        return false;
    }
    std::string data;
    if (!S_ISREG(st.st_mode)) {
        c.why = "不是普通文件";
    } else if (errno = 0; !ReadWhole(src.Get(), static_cast<std::size_t>(st.st_size), &data)) {
        c.why = errno != 0 ? std::strerror(errno) : "读取不完整";
    } else {
        c.staged.Stage(projectDir, data, st.st_mode & 0777);
        if (c.staged.written()) return true;
        c.why = std::strerror(c.staged.error());
    }
    return false;
}

// The matched file stays as it was; the line names it, the file that could not be placed and
// why, and the result asks for work by hand.
bool PlacementFailed(const std::string& fullPath, std::string_view what, std::string_view why) {
    g_manualConversion = 1;
    WriteLogLine(
        g_importLog,
        FormatImportMessage("****文件【%s】未能替换：无法放入文件【%s】（%s），文件保持原样***",
                            {fullPath, what, ToGbk(why)}));
    return true;
}

enum class Pair { none, file, library };

// Rule lookup over all 35 slots; logs the comparison names when `log` is set.
Pair LookupRule(const std::string& upperName, bool log, int* slot) {
    for (int i = 0; i < kMaxTransFiles; ++i) {
        const TransFileEntry& e = g_transFiles[static_cast<std::size_t>(i)];
        std::string upperFile = CompareName(Field(e.sourFileName, sizeof e.sourFileName));
        std::string upperLib = CompareName(Field(e.sourLib, sizeof e.sourLib));
        if (log) {
            WriteLogLine(g_monitorLog, upperName);
            WriteLogLine(g_monitorLog, upperFile);
        }
        *slot = i;
        if (upperName == upperFile) return Pair::file;
        if (upperName == upperLib) return Pair::library;
    }
    return Pair::none;
}

bool LooksLikeCFile(std::string_view path) {
    for (const char* ext : {".c", ".h", ".C", ".H"})
        if (path.find(ext) != std::string_view::npos) return true;
    return false;
}

// A matched file: compared with its factory copy, then replaced, deleted or left alone.
// Returns false when the walk of the current folder has to end.
bool ReplaceMatchedFile(posix_io::UniqueFd& project, const std::string& content,
                        const std::string& fullPath, const std::string& upperName,
                        const TransFileEntry& e, Pair pair, const std::string& projectDir,
                        const std::string& desDir, const std::string& sorDir) {
    const bool lib = pair == Pair::library;
    std::string_view source =
        lib ? Field(e.sourLib, sizeof e.sourLib) : Field(e.sourFileName, sizeof e.sourFileName);
    std::string_view replacement =
        lib ? Field(e.tranLib, sizeof e.tranLib) : Field(e.transFileName, sizeof e.transFileName);
    struct stat st {};
    posix_io::UniqueFd factory = OpenRegular(sorDir + "/" + std::string(source), &st);
    if (!factory) return true;
    WriteLogLine(g_monitorLog, lib ? "4.4" : "4.1");
    if (st.st_size == 0) return true;
    WriteLogLine(g_monitorLog, lib ? "4.5" : "4.2");
    std::string original;
    try {
        original.reserve(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    WriteLogLine(g_monitorLog, lib ? "4.6" : "4.3");
    if (!ReadWhole(factory.Get(), static_cast<std::size_t>(st.st_size), &original)) return false;
    factory.Close();
    if (original != content) {
        g_manualConversion = 1;
        if (source.size() > 1)
            WriteLogLine(
                g_importLog,
                FormatImportMessage("****文件【%s】与出厂版本不匹配，请手动转换***", {source}));
        return true;
    }
    // Identical: every file the rule brings is made complete beside its target before the
    // matched file goes, so a failure on the way leaves the project as it was.
    const bool replaced = replacement.size() > 1;
    std::vector<Copy> copies;  // the replacement first, then the added files
    if (replaced) {
        std::string_view placed = PlacedName(replacement);
        if (placed.empty()) return PlacementFailed(fullPath, replacement, "表中的名称不是文件名");
        copies.push_back({desDir + "/" + std::string(replacement), placed, {}, {}});
    }
    if (lib && upperName == "CH32F10X_CONF.H")
        for (const char* added : kUsbHostFiles)
            copies.push_back({desDir + "/" + added, added, {}, {}});
    for (Copy& c : copies)
        if (!StageCopy(c, projectDir)) return PlacementFailed(fullPath, c.from, c.why);
    bool matchedReplaced = false;
    for (Copy& c : copies) {
        std::string target = projectDir + "/" + std::string(c.as);
        if (!c.staged.Commit(target))
            return PlacementFailed(fullPath, c.from, std::strerror(c.staged.error()));
        matchedReplaced = matchedReplaced || target == fullPath;
        if (&c != &copies.front() || !replaced)
            WriteLogLine(g_importLog, FormatImportMessage("****新增文件【%s】***", {c.as}));
    }
    if (!matchedReplaced && ::unlink(fullPath.c_str()) != 0) {
        g_manualConversion = 1;
        WriteLogLine(g_importLog, FormatImportMessage("****文件【%s】未能删除（%s），请手动转换***",
                                                      {fullPath, ToGbk(std::strerror(errno))}));
        return true;
    }
    CloseInBackground(project.Release());
    if (replaced)
        WriteLogLine(g_importLog,
                     FormatImportMessage("****替换文件【%s】为【%s】***", {source, replacement}));
    else
        WriteLogLine(g_importLog, FormatImportMessage("****删除文件【%s】***", {source}));
    return true;
}

// The entries of a folder in byte order of their names, without "." and "..". Temporary
// files of our own naming are what a killed run left behind: they are removed here, before
// the folder is handled, and are never handled as entries.
std::vector<std::string> ListNames(const std::string& dir, bool* opened) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    *opened = d != nullptr;
    if (!d) return names;
    while (struct dirent* ent = ::readdir(d)) {
        std::string_view n(ent->d_name);
        if (n == "." || n == "..") continue;
        if (IsStagingName(n)) {
            struct stat st {};
            if (::fstatat(::dirfd(d), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode))
                ::unlinkat(::dirfd(d), ent->d_name, 0);
            continue;
        }
        names.emplace_back(n);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Handles one regular file (steps 1 to 4 of the file handling); false ends the walk.
// `prepared` says that a worker already read this very file into `content` and rewrote it
// into `outcome`; `fd` is then not needed.
bool HandleFile(posix_io::UniqueFd& fd, const struct stat& st, const std::string& fullPath,
                const std::string& name, const std::string& projectDir, const std::string& desDir,
                const std::string& sorDir, const CompiledRules& rules, bool prepared,
                std::string& content, RuleOutcome& outcome) {
    if (st.st_size == 0) return true;
    if (!prepared && !ReadWhole(fd.Get(), static_cast<std::size_t>(st.st_size), &content))
        return false;
    std::string upperName = CompareName(name);
    int slot = 0;
    Pair pair = LookupRule(upperName, true, &slot);
    if (pair != Pair::none)
        return ReplaceMatchedFile(fd, content, fullPath, upperName,
                                  g_transFiles[static_cast<std::size_t>(slot)], pair, projectDir,
                                  desDir, sorDir);
    WriteLogLine(g_monitorLog, "4.7");
    if (!LooksLikeCFile(fullPath)) return true;
    if (!prepared) outcome = ApplyRules(rules, content);
    outcome.staged.HoldReplaced(fd.Release());
    return CommitRewrite(fullPath, name, content, outcome, st.st_mode);
}

// False when the folder cannot be read (errno tells why).
bool WalkDirectory(const std::string& projectDir, const std::string& desDir,
                   const std::string& sorDir, const std::shared_ptr<const CompiledRules>& rules) {
    bool opened = false;
    std::vector<std::string> names = ListNames(projectDir, &opened);
    if (!opened) return false;
    std::set<std::string> seen;
    // Files copied in by this walk are met again: after the listing, the folder is read
    // anew and names not yet handled are taken in their turn.
    while (!names.empty()) {
        std::vector<std::string> candidates;
        std::vector<std::size_t> candidateOf(names.size(), SIZE_MAX);
        for (std::size_t i = 0; i < names.size(); ++i) {
            std::string full = projectDir + "/" + names[i];
            struct stat st {};
            int slot = 0;
            if (::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
                LooksLikeCFile(full) &&
                LookupRule(CompareName(names[i]), false, &slot) == Pair::none) {
                candidateOf[i] = candidates.size();
                candidates.push_back(full);
            }
        }
        RewriteAhead ahead(std::move(candidates), rules);
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string& name = names[i];
            seen.insert(name);
            std::string full = projectDir + "/" + name;
            WriteLogLine(g_monitorLog, name);
            struct stat lst {};
            bool isDir = ::lstat(full.c_str(), &lst) == 0 && S_ISDIR(lst.st_mode);
            if (!isDir) {
                std::string content;
                RuleOutcome outcome;
                // A file a worker has already read (same inode, size and time as now) is
                // neither opened nor read again.
                bool prepared = candidateOf[i] != SIZE_MAX && S_ISREG(lst.st_mode) &&
                                ahead.Take(candidateOf[i], lst, &content, &outcome);
                struct stat st = lst;
                posix_io::UniqueFd fd;
                if (!prepared) fd = OpenRegular(full, &st);
                if ((prepared || fd) && !HandleFile(fd, st, full, name, projectDir, desDir, sorDir,
                                                    *rules, prepared, content, outcome))
                    return true;
            } else {
                WalkDirectory(full, desDir, sorDir, rules);
            }
        }
        std::vector<std::string> again = ListNames(projectDir, &opened);
        names.clear();
        for (auto& n : again)
            if (!seen.count(n)) names.push_back(std::move(n));
    }
    return true;
}

}  // namespace

int ConvertDirectory(const std::string& projectDir, const std::string& desDir,
                     const std::string& sorDir) {
    bool read = WalkDirectory(projectDir, desDir, sorDir, CurrentRules());
    int error = errno;
    WaitForBackgroundCloses();
    errno = error;
    return read ? 1 : 0;
}
