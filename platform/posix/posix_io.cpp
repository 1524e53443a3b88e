#include "platform/posix/posix_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace posix_io {

void UniqueFd::Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

bool UniqueFd::Close() {
    // close() is not retried on EINTR: on Linux the descriptor is gone even then.
    const int fd = Release();
    return fd < 0 || ::close(fd) == 0;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t n = RetryOnEintr([&] { return ::write(fd, p, size); });
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t ReadAll(int fd, void* data, std::size_t size) {
    auto* p = static_cast<unsigned char*>(data);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ReadSome(fd, p + got, size - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

ssize_t ReadSome(int fd, void* data, std::size_t size) {
    return RetryOnEintr([&] { return ::read(fd, data, size); });
}

namespace {
// strerror_r comes in two kinds: GNU's returns the text, the XSI one fills the buffer.
[[maybe_unused]] const char* TextOf(const char* gnu, const char* /*buffer*/) { return gnu; }
[[maybe_unused]] const char* TextOf(int xsi, const char* buffer) {
    return xsi == 0 ? buffer : "unknown error";
}
}  // namespace

std::string ErrorText(int error) {
    char buffer[256] = {};
    return TextOf(::strerror_r(error, buffer, sizeof buffer), buffer);
}

int Open(const char* path, int flags, mode_t mode) {
    return RetryOnEintr([&] { return ::open(path, flags, mode); });
}

void OpenStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free descriptor is fd itself, as those below it are open.
        const int null = Open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

}  // namespace posix_io
