// Small POSIX helpers shared by every program: a descriptor that closes
// itself, and reads and writes that retry on EINTR and on short transfers.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

namespace posix_io {

// Owns one file descriptor; closes it when destroyed.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    explicit operator bool() const { return Valid(); }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(m_fd, -1); }
    // Closes the descriptor held (if any) and takes fd.
    void Reset(int fd = -1);
    // Closes the descriptor; false when close() reported an error, which for
    // a written file can be the first sign that the data did not reach it.
    bool Close();

  private:
    int m_fd = -1;
};

// Calls f() again while it fails with EINTR; returns its last result.
template <class F>
auto RetryOnEintr(F&& f) -> decltype(f()) {
    decltype(f()) result;
    do {
        result = f();
    } while (result == -1 && errno == EINTR);
    return result;
}

// Writes all size bytes; false on an error (errno set) or a zero-byte write.
bool WriteAll(int fd, const void* data, std::size_t size);

// Reads until size bytes arrived or the end of the file; returns the count
// read, or -1 on an error (errno set).
ssize_t ReadAll(int fd, void* data, std::size_t size);

// One read() that never fails with EINTR: returns what read() returned.
ssize_t ReadSome(int fd, void* data, std::size_t size);

// open() that never fails with EINTR (a FIFO's open can be interrupted).
int Open(const char* path, int flags, mode_t mode = 0);

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that no
// file a program opens later takes the place of a standard stream and receives
// its text. Called first thing in main.
void OpenStandardStreams();

// The text of an errno value, as strerror gives it, but safe while other
// threads run.
std::string ErrorText(int error);

}  // namespace posix_io
