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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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

namespace trasmo {

namespace {

constexpr std::size_t kMaxCompareName = 249;
const char* const kUsbHostFiles[] = {"ch32v10x_usb_host.h", "ch32v10x_usb_host.c"};

std::string_view Field(const char* f, std::size_t n) { return {f, ::strnlen(f, n)}; }

// A file the run could not treat as the tables say: one line names it, and the result asks
// for a look by hand.
void Untreated(std::string_view utf8Template, std::initializer_list<std::string_view> args) {
    g_manualConversion = 1;
    WriteLogLine(g_importLog, FormatImportMessage(utf8Template, args));
}

// The reason of a failed whole read: the error, or a short read.
std::string ReadFailure(int error) { return error != 0 ? std::strerror(error) : "读取不完整"; }

// A read that fails part way ends the walk of the folder (the file, the reason, the folder).
constexpr const char* kReadFailed =
    "****文件【%s】无法读取（%s），文件夹【%s】中其余的文件未转换***";

// Where a user's file that a copy would overwrite is kept: "NAME.trasmo-orig", or with ".1"
// to ".99" after it when older backups hold those names.
constexpr std::string_view kBackupSuffix = ".trasmo-orig";

bool IsBackupName(std::string_view name) {
    std::size_t at = name.rfind(kBackupSuffix);
    if (at == std::string_view::npos || at == 0) return false;
    std::string_view rest = name.substr(at + kBackupSuffix.size());
    return rest.empty() || (rest.size() <= 3 && rest[0] == '.' &&
                            rest.find_first_not_of("0123456789", 1) == std::string_view::npos);
}

// Gives an existing `target` a backup name beside it, never taking the name of an older
// backup: true with the backup's path in `backup` (empty when there was nothing to keep).
bool KeepExisting(const std::string& target, std::string* backup) {
    struct stat st {};
    backup->clear();
    if (::lstat(target.c_str(), &st) != 0) return errno == ENOENT;
    for (int k = 0; k < 100; ++k) {
        std::string name = target + std::string(kBackupSuffix) + (k ? "." + std::to_string(k) : "");
        // A second name first, so that the target never goes missing; a move where the file
        // system offers no links.
        if (::link(target.c_str(), name.c_str()) == 0 ||
            (errno != EEXIST && ::renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, name.c_str(),
                                            RENAME_NOREPLACE) == 0)) {
            *backup = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

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

// The copy step, made safe: the file is read and written whole beside its target first, with
// the owner, group and mode of the project file it replaces.
bool StageCopy(Copy& c, const std::string& projectDir, const struct stat& owner) {
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
        c.staged.Stage(projectDir, data, owner);
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
                            {fullPath, what, why}));
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
    const std::string factoryPath = sorDir + "/" + std::string(source);
    try {
        original.reserve(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        Untreated(kReadFailed, {factoryPath, std::strerror(ENOMEM), projectDir});
        return false;
    }
    WriteLogLine(g_monitorLog, lib ? "4.6" : "4.3");
    errno = 0;
    if (!ReadWhole(factory.Get(), static_cast<std::size_t>(st.st_size), &original)) {
        Untreated(kReadFailed, {factoryPath, ReadFailure(errno), projectDir});
        return false;
    }
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
    struct stat owner {};
    if (::fstat(project.Get(), &owner) != 0) owner = st;
    for (Copy& c : copies)
        if (!StageCopy(c, projectDir, owner)) return PlacementFailed(fullPath, c.from, c.why);
    bool matchedReplaced = false;
    for (Copy& c : copies) {
        std::string target = projectDir + "/" + std::string(c.as);
        // A file of the user's that the copy would take the name of is kept under a backup
        // name, and the result asks for a look at both.
        std::string backup;
        if (target != fullPath && !KeepExisting(target, &backup))
            return PlacementFailed(fullPath, c.from, std::strerror(errno));
        if (!c.staged.Commit(target))
            return PlacementFailed(fullPath, c.from, std::strerror(c.staged.error()));
        if (!backup.empty())
            Untreated("****文件【%s】已存在，原文件保存为【%s】，请手动比较***", {target, backup});
        matchedReplaced = matchedReplaced || target == fullPath;
        if (&c != &copies.front() || !replaced)
            WriteLogLine(g_importLog, FormatImportMessage("****新增文件【%s】***", {c.as}));
    }
    if (!matchedReplaced && ::unlink(fullPath.c_str()) != 0) {
        g_manualConversion = 1;
        WriteLogLine(g_importLog, FormatImportMessage("****文件【%s】未能删除（%s），请手动转换***",
                                                      {fullPath, std::strerror(errno)}));
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
        if (n == "." || n == ".." || IsBackupName(n)) continue;
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

// True when the tables would change a file of this path and name.
bool Treated(const std::string& full, const std::string& name) {
    int slot = 0;
    return LooksLikeCFile(full) || LookupRule(CompareName(name), false, &slot) != Pair::none;
}

std::string g_projectRoot;  // the project folder as the system resolves it, for links

// A symbolic link is never replaced by a copy or rewritten in place of its target. A link to a
// file inside the project tree is left to the walk, which meets the target under its own
// name; any other link the tables would change is left as it is, with one line.
void KeepLink(const std::string& full, const std::string& name) {
    struct stat st {};
    if (::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;  // not followed
    if (!Treated(full, name)) return;
    char* real = ::realpath(full.c_str(), nullptr);
    const std::string target = real ? real : "";
    std::free(real);
    if (!target.empty() && !g_projectRoot.empty() &&
        target.compare(0, g_projectRoot.size() + 1, g_projectRoot + "/") == 0)
        return;
    char to[4096];
    const ssize_t n = ::readlink(full.c_str(), to, sizeof to - 1);
    Untreated("****文件【%s】是指向工程文件夹以外的符号链接（%s），文件保持原样***",
              {full, n > 0 ? std::string_view(to, static_cast<std::size_t>(n)) : "?"});
}

// Handles one regular file (steps 1 to 4 of the file handling); false ends the walk.
// `prepared` says that a worker already read this very file into `content` and rewrote it
// into `outcome`; `fd` is then not needed.
bool HandleFile(posix_io::UniqueFd& fd, const struct stat& st, const std::string& fullPath,
                const std::string& name, const std::string& projectDir, const std::string& desDir,
                const std::string& sorDir, const CompiledRules& rules, bool prepared,
                std::string& content, RuleOutcome& outcome, RewriteAhead& ahead) {
    if (st.st_size == 0) return true;
    errno = 0;
    if (!prepared && !ReadWhole(fd.Get(), static_cast<std::size_t>(st.st_size), &content)) {
        Untreated(kReadFailed, {fullPath, ReadFailure(errno), projectDir});
        return false;
    }
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
    if (!outcome.staged.tried()) StageOutcome(fullPath, content, &outcome, st);
    if (!outcome.staged.written() &&
        (outcome.staged.error() == ENOSPC || outcome.staged.error() == EDQUOT)) {
        // A full disk: the copies staged ahead and the replaced files not yet closed hold
        // blocks. They are let go, and from here on files are rewritten one at a time.
        ahead.StopStagingAhead();
        WaitForBackgroundCloses();
        StageOutcome(fullPath, content, &outcome, st);
    }
    return CommitRewrite(fullPath, name, content, outcome, st);
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
            const int found = ::lstat(full.c_str(), &lst) == 0 ? 0 : errno;
            bool isDir = found == 0 && S_ISDIR(lst.st_mode);
            if (found == ENAMETOOLONG) {
                Untreated("****文件【%s】的路径过长（%s），文件保持原样***",
                          {full, std::strerror(found)});
            } else if (found == 0 && S_ISLNK(lst.st_mode)) {
                KeepLink(full, name);
            } else if (!isDir) {
                std::string content;
                RuleOutcome outcome;
                // A file a worker has already read (same inode, size and time as now) is
                // neither opened nor read again.
                bool prepared = candidateOf[i] != SIZE_MAX && S_ISREG(lst.st_mode) &&
                                ahead.Take(candidateOf[i], lst, &content, &outcome);
                struct stat st = lst;
                posix_io::UniqueFd fd;
                if (!prepared) fd = OpenRegular(full, &st);
                if (!prepared && !fd && found == 0 && S_ISREG(lst.st_mode) && lst.st_size > 0 &&
                    Treated(full, name))
                    Untreated("****文件【%s】无法读取（%s），文件保持原样***",
                              {full, std::strerror(errno)});
                if ((prepared || fd) && !HandleFile(fd, st, full, name, projectDir, desDir, sorDir,
                                                    *rules, prepared, content, outcome, ahead))
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

std::string MissingResourceFolder(const std::string& desDir, const std::string& sorDir,
                                  std::string* why) {
    for (const std::string* dir : {&desDir, &sorDir}) {
        struct stat st {};
        if (::stat(dir->c_str(), &st) != 0) {
            *why = std::strerror(errno);
        } else if (!S_ISDIR(st.st_mode)) {
            *why = std::strerror(ENOTDIR);
        } else if (::access(dir->c_str(), R_OK | X_OK) != 0) {
            *why = std::strerror(errno);
        } else {
            continue;
        }
        return *dir;
    }
    return {};
}

int ConvertDirectory(const std::string& projectDir, const std::string& desDir,
                     const std::string& sorDir) {
    char* root = ::realpath(projectDir.c_str(), nullptr);
    g_projectRoot = root ? root : "";
    std::free(root);
    bool read = WalkDirectory(projectDir, desDir, sorDir, CurrentRules());
    int error = errno;
    WaitForBackgroundCloses();
    errno = error;
    return read ? 1 : 0;
}

}  // namespace trasmo
