// HEX-to-BIN conversion: read the source, decode or take it as is, write the
// .BIN file beside a HEX source and publish g_firmwareImage.
#include "vornic/image/hex_to_bin.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "platform/posix/posix_io.h"
#include "vornic/image/elf_image.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/intel_hex.h"
#include "vornic/image/start_address.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"

namespace vornic_image {

namespace {

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

bool EndsWithNoCase(std::string_view text, std::string_view upperSuffix) {
    return text.size() >= upperSuffix.size() &&
           FindNoCase(text.substr(text.size() - upperSuffix.size()), upperSuffix) == 0;
}

// Writes the whole range; returns the bytes written, -1 when nothing could be.
int64_t WriteCounted(int fd, const uint8_t* data, size_t size) {
    size_t total = 0;
    while (total < size) {
        const ssize_t n =
            posix_io::RetryOnEintr([&] { return ::write(fd, data + total, size - total); });
        if (n <= 0) break;
        total += static_cast<size_t>(n);
    }
    if (total == 0 && size > 0) return -1;
    return static_cast<int64_t>(total);
}

void LogTooLarge() {
    LogMessage(Tr("文件不能超过%d字节", "The file can not beyond %d bytes"),
               static_cast<int>(kImageCapacity));
}

// Creates a new file in the folder of `target` under a name no other file has,
// with the mode a plain create would give (0666 less the umask); an existing
// name, a symbolic link included, is never opened. The descriptor, or -1.
int CreateFileBeside(const std::string& target, std::string* name) {
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 64; ++attempt) {
        uint64_t random = 0;
        if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
            random = static_cast<uint64_t>(std::time(nullptr)) * 2654435761u + attempt;
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".vornic-%012llx.tmp",
                      static_cast<unsigned long long>(random & 0xFFFFFFFFFFFFull));
        *name = folder + suffix;
        const int fd = posix_io::Open(name->c_str(),
                                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Puts the file `temp` at `target` in one step, as rename() does. A file
// already there is swapped out (RENAME_EXCHANGE) and then removed under the
// temporary name: renaming over it would have ext4 write the new file's data
// out at once, its guard for programs that never sync, which takes a
// millisecond or more; the .BIN is made again from its source by the next
// conversion. A folder swapped out is swapped back, for rename() to refuse.
bool ReplaceWith(const std::string& temp, const std::string& target) {
    if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
        if (::unlink(temp.c_str()) == 0) return true;
        ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE);
    }
    return ::rename(temp.c_str(), target.c_str()) == 0;
}

// Writes the .BIN through a file beside it that is renamed over its name, so
// the name never holds half an image and a link there is replaced, not
// followed. Each failure is logged as the .BIN's own.
Outcome WriteBinFile(const std::string& binName, const uint8_t* data, uint32_t size) {
    std::string tempName;
    posix_io::UniqueFd file(CreateFileBeside(binName, &tempName));
    if (!file.Valid()) {
        LogMessage(Tr("创建BIN文件失败:%s", "Fail to create .BIN:%s"), binName.c_str());
        return Reason::BinNotWritten;
    }
    const int64_t written = WriteCounted(file.Get(), data, size);
    const bool closed = file.Close();
    if (written < 0 || (written == size && !closed)) {
        ::unlink(tempName.c_str());
        LogMessage("%s", Tr("写BIN文件失败", "Fail to write .BIN"));
        return Reason::BinNotWritten;
    }
    if (written < size) {
        ::unlink(tempName.c_str());
        LogMessage(Tr("有%dB数据未能全部写入BIN文件", "There are %d bytes data lost!"),
                   static_cast<int>(size - written));
        return Reason::BinNotWritten;
    }
    if (!ReplaceWith(tempName, binName)) {
        ::unlink(tempName.c_str());
        LogMessage(Tr("重新打开BIN文件失败:%s", "Fail to open .BIN:%s"), binName.c_str());
        return Reason::BinNotWritten;
    }
    return {};
}

// Largest piece of HEX text held at once; the rest of a file stays on disk.
constexpr uint64_t kHexBlock = 1 << 20;
// Smallest block: it must hold the longest record and its line end.
constexpr uint64_t kHexBlockMin = 1024;

// Decodes the HEX text of `source` block by block into image. The file's text
// after its end-of-file record is never read. *linkedAt gets the first data
// address when it lies in flash or above, where the image is placed from it.
Outcome DecodeHexFile(int source, uint64_t fileSize, std::span<uint8_t> image, uint32_t* used,
                      std::optional<uint32_t>* linkedAt, HexProblem* problem) {
    const size_t block = static_cast<size_t>(std::clamp(fileSize, kHexBlockMin, kHexBlock));
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[block]);
    if (!buffer) {
        LogMessage("%s", Tr("内存分配失败!", "Fail to malloc!"));
        return Reason::OutOfMemory;
    }
    IntelHexDecoder decoder(image);
    size_t held = 0;
    for (;;) {
        const ssize_t got = posix_io::ReadAll(source, buffer.get() + held, block - held);
        if (got < 0) return Reason::ReadFailed;
        held += static_cast<size_t>(got);
        size_t consumed = 0;
        const auto status =
            decoder.Decode(std::string_view(buffer.get(), held), held < block, &consumed);
        if (status == IntelHexDecoder::Status::Done) break;
        // A block holds several records, so a full one always lets one go;
        // if it did not, reading on would never end.
        if (status == IntelHexDecoder::Status::Invalid || (consumed == 0 && held == block)) {
            *problem = status == IntelHexDecoder::Status::Invalid
                           ? decoder.Problem()
                           : HexProblem{decoder.Line(), "line too long"};
            LogMessage("%s", Tr("无效的HEX文件.", "Invalid .HEX!"));
            return Reason::FileInvalid;
        }
        // A record cut by the block's end starts the next block.
        std::memmove(buffer.get(), buffer.get() + consumed, held - consumed);
        held -= consumed;
    }
    *used = decoder.UsedLength();
    if (const auto first = decoder.FirstDataAddress(); first && *first >= kFlashStart)
        *linkedAt = *first;
    return {};
}

// Whether the file starts with the ELF magic: 1 or 0, -1 on a read error.
int StartsWithElfMagic(int source) {
    uint8_t start[4] = {};
    const ssize_t got =
        posix_io::RetryOnEintr([&] { return ::pread(source, start, sizeof start, 0); });
    if (got < 0) return -1;
    return HasElfMagic(std::span(start, static_cast<size_t>(got))) ? 1 : 0;
}

// Reads the ELF executable of `source` into image, logging why not.
Outcome DecodeElfFile(int source, uint64_t fileSize, std::span<uint8_t> image, uint32_t* used,
                      uint32_t* lowest) {
    ElfExtent extent;
    const Outcome read = ReadElfImage(source, fileSize, image, &extent);
    if (read == Reason::TooLarge) {
        LogTooLarge();
    } else if (!read.Ok()) {
        LogMessage("%s", Tr("无效的.ELF文件!", "Invalid .ELF!"));
    }
    *used = extent.used;
    *lowest = extent.lowest;
    return read;
}

}  // namespace

std::string BinNameForElf(std::string_view path) {
    const std::string_view fileName = path.substr(FileNameStart(path));
    if (!EndsWithNoCase(fileName, ".ELF")) return std::string(path) + ".bin";
    std::string name(path.substr(0, path.size() - 4));
    const char* ext = path.data() + path.size() - 4;
    name += '.';
    name += ext[1] == 'E' ? 'B' : 'b';
    name += ext[2] == 'L' ? 'I' : 'i';
    name += ext[3] == 'F' ? 'N' : 'n';
    return name;
}

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

Outcome ConvertHexToBin(std::string_view path, std::string& outputName, std::string* detail) {
    outputName.clear();
    // A failed conversion leaves no image, so no job goes on with an older one.
    g_firmwareImage.Clear();
    if (detail != nullptr) detail->clear();
    const std::string pathText(path);

    // Existing regular files only: a mistyped path must not leave an empty file
    // behind, and a FIFO or device must not block the open (O_NONBLOCK has no
    // effect on regular files). A path with a NUL byte names no file.
    const bool named = pathText.find('\0') == std::string::npos;
    posix_io::UniqueFd source(
        named ? posix_io::Open(pathText.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)
              : -1);
    const int openError = source.Valid() ? 0 : named ? errno : ENOENT;
    struct stat info {};
    if (!source.Valid() || ::fstat(source.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        LogMessage(Tr("未选择文件%s", "Not choose file%s"), pathText.c_str());
        if (source.Valid()) return Reason::NotRegularFile;
        return openError == EACCES || openError == EPERM ? Reason::NoPermission
               : openError == ENAMETOOLONG               ? Reason::NameTooLong
                                                         : Reason::FileMissing;
    }
    if (info.st_size == 0) {
        LogMessage(Tr("空白文件%s", "Invalid file%s"), pathText.c_str());
        return Reason::FileEmpty;
    }
    const auto fileSize = static_cast<uint64_t>(info.st_size);

    const std::string_view fileName = path.substr(FileNameStart(path));
    const int elf = EndsWithNoCase(fileName, ".ELF") ? 1 : StartsWithElfMagic(source.Get());
    if (elf < 0) return Reason::ReadFailed;
    const bool hex = !elf && FindNoCase(fileName, ".HEX") != std::string_view::npos;
    if (!elf && !hex && FindNoCase(fileName, ".BIN") == std::string_view::npos) {
        LogMessage("%s", Tr("无效的HEX文件.", "Invalid .HEX!"));
        return Reason::FileInvalid;
    }
    const bool raw = !elf && !hex;
    // Taken unchanged, but never more than an image buffer holds: the size
    // alone decides, before anything is read.
    if (raw && fileSize > kImageCapacity) {
        LogTooLarge();
        return Reason::TooLarge;
    }
    // The image is decoded straight into the buffer that gets published: it is
    // zeroed, and nothing is written at or past the used length, so the
    // padding to whole words is already in place. The ELF reader zeroes what
    // it spans itself, so the pages of a small image are all it touches.
    std::unique_ptr<uint8_t[]> image(new (std::nothrow) uint8_t[kImageCapacity]);
    if (!image) {
        LogMessage("%s", Tr("内存分配失败!", "Fail to malloc!"));
        return Reason::OutOfMemory;
    }
    if (!elf) std::memset(image.get(), 0, kImageCapacity);

    std::string imageName;
    uint32_t imageLength = 0;
    std::optional<uint32_t> linkedAt;
    if (raw) {
        const ssize_t got =
            posix_io::ReadAll(source.Get(), image.get(), static_cast<size_t>(fileSize));
        if (got < 0) return Reason::ReadFailed;
        imageName = pathText;
        imageLength = static_cast<uint32_t>(got);
    } else {
        const std::span<uint8_t> buffer(image.get(), kImageCapacity);
        uint32_t used = 0;
        uint32_t lowest = 0;
        HexProblem problem;
        const Outcome decoded =
            hex ? DecodeHexFile(source.Get(), fileSize, buffer, &used, &linkedAt, &problem)
                : DecodeElfFile(source.Get(), fileSize, buffer, &used, &lowest);
        if (!decoded.Ok()) {
            if (detail != nullptr && problem.line != 0)
                *detail = "line " + std::to_string(problem.line) + ": " + problem.reason;
            return decoded;
        }
        if (used > kImageCapacity) {
            LogTooLarge();
            return Reason::TooLarge;
        }
        used = (used + 3) & ~uint32_t{3};
        imageName = hex ? BinNameForHex(path) : BinNameForElf(path);
        if (Outcome written = WriteBinFile(imageName, image.get(), used); !written.Ok())
            return written;
        LogMessage("%s",
                   hex ? Tr(".HEX已成功转成.BIN格式", "Succeed to trans file from .HEX to .BIN.")
                       : Tr(".ELF已成功转成.BIN格式", "Succeed to trans file from .ELF to .BIN."));
        imageLength = used;
        if (!hex) linkedAt = lowest;
    }

    g_firmwareImage.data = std::move(image);
    g_firmwareImage.length = imageLength;
    g_firmwareImage.linkedAt = linkedAt;
    outputName = std::move(imageName);
    return {};
}

}  // namespace vornic_image
