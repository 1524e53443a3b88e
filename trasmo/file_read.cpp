// Opening regular files only, and reading them whole.
#include "trasmo/file_read.h"

#include <fcntl.h>

#include <new>

namespace trasmo {

posix_io::UniqueFd OpenRegular(const std::string& path, struct stat* st) {
    posix_io::UniqueFd fd(posix_io::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd && (::fstat(fd.Get(), st) != 0 || !S_ISREG(st->st_mode))) fd.Reset();
    return fd;
}

bool ReadWhole(int fd, std::size_t size, std::string* out) {
    try {
        out->resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return posix_io::ReadAll(fd, out->data(), size) == static_cast<ssize_t>(size);
}

}  // namespace trasmo
