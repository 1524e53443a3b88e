// Staged files: O_TMPFILE and linkat where possible, mkostemp otherwise; rename into place;
// the replaced files closed on background threads.
#include "trasmo/staging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "platform/posix/posix_io.h"

namespace trasmo {

namespace {

constexpr std::string_view kPrefix = ".trasmo-";
constexpr std::size_t kSuffixLength = 6;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

constexpr int kMaxHeld = 128;
std::atomic<int> g_openStaged{0};
std::atomic<int> g_held{0};
std::atomic<std::size_t> g_stagedBytes{0};

// A few threads that close descriptors handed to them, started when first needed; closes
// that wait for the device overlap.
class Closer {
  public:
    ~Closer() {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& t : m_threads) t.join();
    }
    void Add(int fd) {
        std::lock_guard lock(m_mutex);
        m_fds.push_back(fd);
        if (m_threads.size() < kClosingThreads && m_fds.size() > m_threads.size() - m_busy)
            m_threads.emplace_back([this] { Run(); });
        m_wake.notify_one();
    }
    void Wait() {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [&] { return m_fds.empty() && m_busy == 0; });
    }

  private:
    static constexpr std::size_t kClosingThreads = 4;
    void Run() {
        std::unique_lock lock(m_mutex);
        while (true) {
            m_wake.wait(lock, [&] { return m_stop || !m_fds.empty(); });
            if (m_fds.empty()) return;
            int fd = m_fds.back();
            m_fds.pop_back();
            ++m_busy;
            lock.unlock();
            ::close(fd);
            lock.lock();
            --m_busy;
            m_idle.notify_all();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_wake, m_idle;
    std::vector<int> m_fds;
    std::size_t m_busy = 0;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

Closer g_closer;

// An unnamed file is given its name through /proc/self/fd, which needs no privilege.
bool CanNameUnnamedFiles() {
    static const bool ok = ::access("/proc/self/fd", X_OK) == 0;
    return ok;
}

std::string FolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string RandomName(const std::string& dir) {
    thread_local std::mt19937_64 gen{std::random_device{}()};
    std::string name = dir + "/" + std::string(kPrefix);
    for (std::size_t i = 0; i < kSuffixLength; ++i)
        name.push_back(kAlphabet[gen() % (sizeof kAlphabet - 1)]);
    return name;
}

// Writes all of `data`; a write that takes nothing counts as a full disk.
bool WriteAll(int fd, std::string_view data) {
    errno = 0;
    if (posix_io::WriteAll(fd, data.data(), data.size())) return true;
    if (errno == 0) errno = ENOSPC;
    return false;
}

}  // namespace

StagedFile::~StagedFile() {
    Discard();
    DropHeld();
}

void StagedFile::DropHeld() {
    if (m_held < 0) return;
    ::close(m_held);  // still named unless committed: closing it frees nothing
    --g_held;
    m_held = -1;
}

void StagedFile::HoldReplaced(int fd) {
    if (fd < 0) return;
    DropHeld();
    if (g_held.fetch_add(1) < kMaxHeld) {
        m_held = fd;
        return;
    }
    --g_held;
    ::close(fd);
}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
    if (this != &other) {
        Discard();
        DropHeld();
        m_held = other.m_held;
        other.m_held = -1;
        m_fd = other.m_fd;
        m_bytes = other.m_bytes;
        other.m_bytes = 0;
        m_name = std::move(other.m_name);
        m_tried = other.m_tried;
        m_created = other.m_created;
        m_written = other.m_written;
        m_error = other.m_error;
        other.m_fd = -1;
        other.m_name.clear();
        other.m_tried = other.m_created = other.m_written = false;
        other.m_error = 0;
    }
    return *this;
}

void StagedFile::Stage(const std::string& dir, std::string_view data, const struct stat& like) {
    const mode_t mode = like.st_mode & 07777;
    Discard();
    m_tried = true;
    int fd = -1;
    if (CanNameUnnamedFiles()) {
        fd = posix_io::Open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode & 07777);
        if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
            m_error = errno;
            return;
        }
    }
    if (fd >= 0) {
        m_fd = fd;
        ++g_openStaged;
    } else {
        std::string pattern = dir + "/" + std::string(kPrefix) + "XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        fd = ::mkostemp(buf.data(), O_CLOEXEC);
        if (fd < 0) {
            m_error = errno;
            return;
        }
        m_name = buf.data();
    }
    m_created = true;
    // The owner and group of the file it replaces, where the process may give them (a run as
    // root on a user's tree keeps the user's files theirs); then the mode, which the umask
    // does not decide and which a change of owner may have cut.
    // A refused change leaves the file the process's own, as any new file is.
    if ((like.st_uid != ::geteuid() || like.st_gid != ::getegid()) &&
        ::fchown(fd, like.st_uid, like.st_gid) != 0) {
    }
    (void)::fchmod(fd, mode);
    bool ok = WriteAll(fd, data);
    if (ok) {
        m_bytes = data.size();
        g_stagedBytes += m_bytes;
    }
    if (!ok) m_error = errno;
    if (m_fd < 0 && ::close(fd) != 0 && ok) {
        ok = false;
        m_error = errno;
    }
    m_written = ok;
}

bool StagedFile::Commit(const std::string& target) {
    if (!m_written) {
        if (m_error == 0) m_error = EIO;
        return false;
    }
    if (m_fd >= 0) {
        char proc[40];
        std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", m_fd);
        // The file gets a name of our pattern first: only rename replaces a file atomically.
        int r = -1;
        for (int attempt = 0; r != 0 && attempt < 100; ++attempt) {
            std::string name = RandomName(FolderOf(target));
            r = ::linkat(AT_FDCWD, proc, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
            if (r == 0)
                m_name = std::move(name);
            else if (errno != EEXIST)
                break;
        }
        if (r != 0) {
            m_error = errno;
            return false;
        }
        ::close(m_fd);
        m_fd = -1;
        --g_openStaged;
    }
    if (::rename(m_name.c_str(), target.c_str()) != 0) {
        m_error = errno;
        return false;
    }
    m_name.clear();
    g_stagedBytes -= m_bytes;
    m_bytes = 0;
    if (m_held >= 0) {
        CloseInBackground(m_held);
        m_held = -1;
        --g_held;
    }
    return true;
}

void StagedFile::Discard() {
    if (m_fd >= 0) {
        ::close(m_fd);
        --g_openStaged;
    }
    if (!m_name.empty()) ::unlink(m_name.c_str());
    g_stagedBytes -= m_bytes;
    m_bytes = 0;
    m_fd = -1;
    m_name.clear();
    m_tried = m_created = m_written = false;
    m_error = 0;
}

bool IsStagingName(std::string_view name) {
    if (name.size() != kPrefix.size() + kSuffixLength || name.substr(0, kPrefix.size()) != kPrefix)
        return false;
    for (char c : name.substr(kPrefix.size()))
        if (std::string_view(kAlphabet).find(c) == std::string_view::npos) return false;
    return true;
}

int OpenStagedFiles() { return g_openStaged.load(); }

std::size_t StagedBytes() { return g_stagedBytes.load(); }

void CloseInBackground(int fd) {
    if (fd >= 0) g_closer.Add(fd);
}

void WaitForBackgroundCloses() { g_closer.Wait(); }

}  // namespace trasmo
