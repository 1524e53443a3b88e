// Tree walk of the converter: rule lookup, ReplaceMatchedFile, C-file test, parallel rewrite.
#include "trasmo/engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "trasmo/rewrite.h"
#include "trasmo/staging.h"
#include "trasmo/tables.h"

namespace {

constexpr std::size_t kMaxCompareName = 249;
constexpr std::size_t kPrefetchWindow = 32;
constexpr unsigned kMaxWorkers = 4;
constexpr int kMaxStagedAhead = 64;
std::atomic<unsigned> g_liveWorkers{0};
const char* const kUsbHostFiles[] = {"ch32v10x_usb_host.h", "ch32v10x_usb_host.c"};

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int Release() { return std::exchange(fd, -1); }
};

std::string_view Field(const char* f, std::size_t n) { return {f, ::strnlen(f, n)}; }

// Comparison copy: only names of 2 to 249 characters are compared as themselves.
std::string CompareName(std::string_view s) {
    if (s.size() < 2 || s.size() > kMaxCompareName) return {};
    return AsciiUpper(s);
}

// Opens a regular file for reading; a folder or a device is not a file to handle.
int OpenRegular(const std::string& path, struct stat* st) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads `size` bytes; false when fewer arrive or the buffer cannot be had.
bool ReadWhole(int fd, std::size_t size, std::string* out) {
    try {
        out->resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    std::size_t got = 0;
    while (got < size) {
        ssize_t r = ::read(fd, out->data() + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got == size;
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
    Fd src(::open(c.from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (src.fd < 0 || ::fstat(src.fd, &st) != 0) {
        c.why = std::strerror(errno);
        return false;
    }
    std::string data;
    if (!S_ISREG(st.st_mode)) {
        c.why = "不是普通文件";
    } else if (errno = 0; !ReadWhole(src.fd, static_cast<std::size_t>(st.st_size), &data)) {
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
bool ReplaceMatchedFile(Fd& project, const std::string& content, const std::string& fullPath,
                        const std::string& upperName, const TransFileEntry& e, Pair pair,
                        const std::string& projectDir, const std::string& desDir,
                        const std::string& sorDir) {
    const bool lib = pair == Pair::library;
    std::string_view source =
        lib ? Field(e.sourLib, sizeof e.sourLib) : Field(e.sourFileName, sizeof e.sourFileName);
    std::string_view replacement =
        lib ? Field(e.tranLib, sizeof e.tranLib) : Field(e.transFileName, sizeof e.transFileName);
    struct stat st {};
    Fd factory(OpenRegular(sorDir + "/" + std::string(source), &st));
    if (factory.fd < 0) return true;
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
    if (!ReadWhole(factory.fd, static_cast<std::size_t>(st.st_size), &original)) return false;
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

// Rewriting results computed ahead of the walk by worker threads. The walk itself (every
// log line, every file operation) stays on the calling thread and in order; a worker only
// reads a file and applies the rules, which is a pure function of the content.
class Prefetcher {
  public:
    Prefetcher(std::vector<std::string> paths, std::shared_ptr<const CompiledRules> rules)
        : m_rules(std::move(rules)), m_items(paths.size()) {
        for (std::size_t i = 0; i < paths.size(); ++i) m_items[i].path = std::move(paths[i]);
        unsigned cores = std::thread::hardware_concurrency();
        if (m_items.size() < 2 || cores < 2) return;
        // Nested folders each have a prefetcher: the total number of workers is capped.
        for (unsigned w = 0; w < std::min(cores, kMaxWorkers); ++w) {
            if (g_liveWorkers.fetch_add(1) >= kMaxWorkers) {
                g_liveWorkers.fetch_sub(1);
                break;
            }
            m_threads.emplace_back([this] { Work(); });
        }
    }
    Prefetcher(const Prefetcher&) = delete;
    Prefetcher& operator=(const Prefetcher&) = delete;
    ~Prefetcher() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (auto& t : m_threads) t.join();
        g_liveWorkers.fetch_sub(static_cast<unsigned>(m_threads.size()));
    }

    // Content and outcome of item i when a worker read that very file (same inode, size
    // and modification time as `st`); false when the caller has to do the work itself.
    bool Take(std::size_t i, const struct stat& st, std::string* content, RuleOutcome* out) {
        Item& item = m_items[i];
        int expected = kFree;
        if (item.state.compare_exchange_strong(expected, kTaken)) {
            item.state = kDone;  // nobody computes it: the caller does it inline
        } else {
            std::unique_lock lock(m_mutex);
            m_done.wait(lock, [&] { return item.state.load() == kDone; });
        }
        {
            std::lock_guard lock(m_mutex);
            m_consumed = i + 1;
        }
        m_wake.notify_all();
        const struct stat& w = item.st;
        bool usable = item.computed && w.st_dev == st.st_dev && w.st_ino == st.st_ino &&
                      w.st_size == st.st_size && w.st_mtim.tv_sec == st.st_mtim.tv_sec &&
                      w.st_mtim.tv_nsec == st.st_mtim.tv_nsec;
        if (usable) {
            *content = std::move(item.content);
            *out = std::move(item.outcome);
        }
        item.content = std::string();
        item.outcome = {};
        return usable;
    }

  private:
    enum { kFree, kTaken, kDone };
    struct Item {
        std::string path;
        std::atomic<int> state{kFree};
        bool computed = false;
        struct stat st {};
        std::string content;
        RuleOutcome outcome;
    };

    void Work() {
        while (true) {
            std::size_t i;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [&] {
                    return m_stop || m_next >= m_items.size() ||
                           m_next < m_consumed + kPrefetchWindow;
                });
                if (m_stop || m_next >= m_items.size()) return;
                i = m_next++;
            }
            Item& item = m_items[i];
            int expected = kFree;
            if (!item.state.compare_exchange_strong(expected, kTaken)) continue;
            struct stat& st = item.st;
            Fd fd(OpenRegular(item.path, &st));
            if (fd.fd >= 0 && st.st_size > 0 &&
                ReadWhole(fd.fd, static_cast<std::size_t>(st.st_size), &item.content)) {
                item.outcome = ApplyRules(*m_rules, item.content);
                // A staged file holds a descriptor until the walk commits it.
                if (OpenStagedFiles() < kMaxStagedAhead)
                    StageOutcome(item.path, item.content, &item.outcome, st.st_mode);
                item.outcome.staged.HoldReplaced(fd.Release());
                item.computed = true;
            }
            {
                std::lock_guard lock(m_mutex);
                item.state = kDone;
            }
            m_done.notify_all();
        }
    }

    std::shared_ptr<const CompiledRules> m_rules;
    std::vector<Item> m_items;
    std::vector<std::thread> m_threads;
    std::mutex m_mutex;
    std::condition_variable m_wake, m_done;
    std::size_t m_next = 0, m_consumed = 0;
    bool m_stop = false;
};

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
bool HandleFile(Fd& fd, const struct stat& st, const std::string& fullPath, const std::string& name,
                const std::string& projectDir, const std::string& desDir, const std::string& sorDir,
                const CompiledRules& rules, bool prepared, std::string& content,
                RuleOutcome& outcome) {
    if (st.st_size == 0) return true;
    if (!prepared && !ReadWhole(fd.fd, static_cast<std::size_t>(st.st_size), &content))
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
        Prefetcher prefetch(std::move(candidates), rules);
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
                                prefetch.Take(candidateOf[i], lst, &content, &outcome);
                struct stat st = lst;
                Fd fd(prepared ? -1 : OpenRegular(full, &st));
                if ((prepared || fd.fd >= 0) &&
                    !HandleFile(fd, st, full, name, projectDir, desDir, sorDir, *rules, prepared,
                                content, outcome))
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
