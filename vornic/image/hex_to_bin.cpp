// HEX-to-BIN conversion: read the source, decode or take it as is, write the
// .BIN file beside a HEX source and publish g_firmwareImage.
#include "hex_to_bin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "firmware_image.h"
#include "intel_hex.h"
#include "language.h"
#include "output_log.h"

namespace {

// Closes a POSIX file descriptor on every path.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

  private:
    int m_fd;
};

// Offset of the file name within path (the text after the last '/').
size_t FileNameStart(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Position of the first case-insensitive occurrence of an upper-case needle.
size_t FindNoCase(std::string_view haystack, std::string_view upperNeedle) {
    if (haystack.size() < upperNeedle.size()) return std::string_view::npos;
    for (size_t i = 0; i + upperNeedle.size() <= haystack.size(); ++i) {
        size_t k = 0;
        while (k < upperNeedle.size() && Upper(haystack[i + k]) == upperNeedle[k]) ++k;
        if (k == upperNeedle.size()) return i;
    }
    return std::string_view::npos;
}

// Reads until the end of the file or size bytes; -1 on a read error.
int64_t ReadAll(int fd, char* buffer, size_t size) {
    size_t total = 0;
    while (total < size) {
        ssize_t n = ::read(fd, buffer + total, size - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(total);
}

// Writes the whole range; returns the bytes written, -1 when nothing could be.
int64_t WriteAll(int fd, const uint8_t* data, size_t size) {
    size_t total = 0;
    while (total < size) {
        ssize_t n = ::write(fd, data + total, size - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    if (total == 0 && size > 0) return -1;
    return static_cast<int64_t>(total);
}

void LogTooLarge() {
    LogMessage(Tr("文件不能超过%d字节", "The file can not beyond %d bytes"),
               static_cast<int>(kImageCapacity));
}

}  // namespace

std::string BinNameForHex(std::string_view path) {
    const size_t nameStart = FileNameStart(path);
    const size_t hex = FindNoCase(path.substr(nameStart), ".HEX");
    if (hex == std::string_view::npos) return {};
    std::string name(path.substr(0, nameStart + hex));
    // Each letter keeps the case it had: .hex -> .bin, .HEX -> .BIN, .Hex -> .Bin.
    const char* ext = path.data() + nameStart + hex;
    name += '.';
    name += ext[1] == 'H' ? 'B' : 'b';
    name += ext[2] == 'E' ? 'I' : 'i';
    name += ext[3] == 'X' ? 'N' : 'n';
    return name;
}

int ConvertHexToBin(std::string_view path, std::string& outputName) {
    outputName.clear();
    const std::string pathText(path);

    // Existing regular files only: a mistyped path must not leave an empty file
    // behind, and a FIFO or device must not block the open (O_NONBLOCK has no
    // effect on regular files). A path with a NUL byte names no file.
    FileDescriptor source(pathText.find('\0') == std::string::npos
                              ? ::open(pathText.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)
                              : -1);
    struct stat info {};
    if (!source.valid() || ::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        LogMessage(Tr("未选择文件%s", "Not choose file%s"), pathText.c_str());
        return 0;
    }
    if (info.st_size == 0) {
        LogMessage(Tr("空白文件%s", "Invalid file%s"), pathText.c_str());
        return 0;
    }
    const auto fileSize = static_cast<uint64_t>(info.st_size);

    // From here on a failed conversion leaves no image behind.
    g_firmwareImage.Clear();

    std::unique_ptr<char[]> contents;
    if (fileSize <= UINT32_MAX) contents.reset(new (std::nothrow) char[fileSize]);
    // The image is decoded straight into the buffer that gets published: it is
    // zeroed, and no record writes at or past the used length, so the padding
    // to whole words is already in place.
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[kImageCapacity]());
    if (!contents || !image) {
        LogMessage("%s", Tr("内存分配失败!", "Fail to malloc!"));
        return 0;
    }

    const int64_t got = ReadAll(source.get(), contents.get(), fileSize);
    if (got < 0) return 0;
    const auto size = static_cast<uint32_t>(got);

    const std::string_view fileName = path.substr(FileNameStart(path));
    std::string imageName;
    uint32_t imageLength = 0;

    if (FindNoCase(fileName, ".HEX") != std::string_view::npos) {
        uint32_t used = 0;
        if (DecodeIntelHex(std::string_view(contents.get(), size),
                           std::span(image.get(), kImageCapacity), used) == 0) {
            LogMessage("%s", Tr("无效的HEX文件.", "Invalid .HEX!"));
            return 0;
        }
        if (used > kImageCapacity) {
            LogTooLarge();
            return 0;
        }
        used = (used + 3) & ~uint32_t{3};

        imageName = BinNameForHex(path);
        int fd = ::open(imageName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno != EEXIST) {
                LogMessage(Tr("创建BIN文件失败:%s", "Fail to create .BIN:%s"), imageName.c_str());
                return 0;
            }
            // An existing .BIN is replaced.
            fd = ::open(imageName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (fd < 0) {
                LogMessage(Tr("重新打开BIN文件失败:%s", "Fail to open .BIN:%s"), imageName.c_str());
                return 0;
            }
        }
        FileDescriptor bin(fd);
        const int64_t written = WriteAll(bin.get(), image.get(), used);
        if (written < 0) {
            LogMessage("%s", Tr("写BIN文件失败", "Fail to write .BIN"));
            return 0;
        }
        if (written < used) {
            LogMessage(Tr("有%dB数据未能全部写入BIN文件", "There are %d bytes data lost!"),
                       static_cast<int>(used - written));
            return 0;
        }
        LogMessage("%s", Tr(".HEX已成功转成.BIN格式", "Succeed to trans file from .HEX to .BIN."));
        imageLength = used;
    } else if (FindNoCase(fileName, ".BIN") != std::string_view::npos) {
        // Taken unchanged, but never more than an image buffer holds.
        if (size > kImageCapacity) {
            LogTooLarge();
            return 0;
        }
        std::copy(contents.get(), contents.get() + size, reinterpret_cast<char*>(image.get()));
        imageName = pathText;
        imageLength = size;
    } else {
        LogMessage("%s", Tr("无效的HEX文件.", "Invalid .HEX!"));
        return 0;
    }

    g_firmwareImage.data = std::move(image);
    g_firmwareImage.length = imageLength;
    outputName = std::move(imageName);
    return 1;
}
