// Whole reads of regular files, shared by the table reader, the walk and its workers.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/posix/posix_io.h"

namespace trasmo {

// Opens a regular file for reading, without blocking on a FIFO or a device, and fills `st`;
// an invalid descriptor for anything else or when it cannot be opened.
posix_io::UniqueFd OpenRegular(const std::string& path, struct stat* st);

// Reads `size` bytes into `out`; false when fewer arrive (errno tells a read error) or the
// buffer cannot be had.
bool ReadWhole(int fd, std::size_t size, std::string* out);

}  // namespace trasmo
