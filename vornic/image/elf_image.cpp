// ELF reader on libelf: program and section headers read and checked against
// the file and the image, then the program's bytes read to their places.
#include "vornic/image/elf_image.h"

#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/posix_io.h"

namespace vornic_image {

namespace {

// Addresses below this are laid out from 0, as the HEX decoder does.
constexpr uint32_t kFlashBase = 0x08000000;

struct ElfCloser {
    void operator()(Elf* elf) const { elf_end(elf); }
};
using ElfHandle = std::unique_ptr<Elf, ElfCloser>;

// Bytes of the file placed at a load address: a segment, or a section in one.
struct Piece {
    uint32_t address;
    uint32_t size;
    uint64_t offset;
};

bool ByAddress(const Piece& a, const Piece& b) { return a.address < b.address; }

// Sorts pieces by address; false when two overlap or there are none.
bool SortApart(std::vector<Piece>* pieces) {
    std::sort(pieces->begin(), pieces->end(), ByAddress);
    for (size_t i = 1; i < pieces->size(); ++i) {
        const Piece& before = (*pieces)[i - 1];
        if (uint64_t{before.address} + before.size > (*pieces)[i].address) return false;
    }
    return !pieces->empty();
}

// A piece of the file at an address, unless it lies outside the file or
// runs past the 32-bit address space (sums of 32-bit values in 64 bits).
bool MakePiece(uint64_t address, uint64_t size, uint64_t offset, uint64_t fileSize, Piece* piece) {
    if (offset > fileSize || size > fileSize - offset || address + size > uint64_t{UINT32_MAX} + 1)
        return false;
    *piece = {static_cast<uint32_t>(address), static_cast<uint32_t>(size), offset};
    return true;
}

// Reads size bytes at offset; false when the file ends first or fails.
bool ReadAt(int fd, uint8_t* out, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t got = posix_io::RetryOnEintr(
            [&] { return ::pread(fd, out, size, static_cast<off_t>(offset)); });
        if (got <= 0) return false;
        out += got, size -= static_cast<size_t>(got), offset += static_cast<uint64_t>(got);
    }
    return true;
}

bool LibraryReady() {
    static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
    return ready;
}

// The ELF is one this target runs: 32-bit, little-endian, RISC-V, executable.
bool IsRiscvExecutable(Elf* elf) {
    if (elf_kind(elf) != ELF_K_ELF) return false;
    const Elf32_Ehdr* header = elf32_getehdr(elf);  // null for a 64-bit file
    return header != nullptr && header->e_ident[EI_DATA] == ELFDATA2LSB &&
           header->e_machine == EM_RISCV && header->e_type == ET_EXEC;
}

// The PT_LOAD segments with file bytes at their physical addresses; false
// when one is malformed, or two overlap, or there is none.
bool LoadSegments(Elf* elf, uint64_t fileSize, std::vector<Piece>* segments) {
    size_t count = 0;
    if (elf_getphdrnum(elf, &count) != 0) return false;
    for (size_t i = 0; i < count; ++i) {
        GElf_Phdr header;
        if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr) return false;
        if (header.p_type != PT_LOAD || header.p_filesz == 0) continue;
        Piece segment;
        if (header.p_filesz > header.p_memsz ||
            !MakePiece(header.p_paddr, header.p_filesz, header.p_offset, fileSize, &segment))
            return false;
        segments->push_back(segment);
    }
    return SortApart(segments);
}

// What the image is made of: the allocated sections with file bytes, each at
// the load address its place in a segment gives it (its own address when no
// segment holds it). A segment's bytes outside these sections, such as ELF
// headers the linker put in the first segment, are not program. Without a
// section table the segments themselves.
bool ImagePieces(Elf* elf, uint64_t fileSize, const std::vector<Piece>& segments,
                 std::vector<Piece>* pieces) {
    size_t count = 0;
    if (elf_getshdrnum(elf, &count) != 0) return false;
    if (count == 0) {
        *pieces = segments;
        return true;
    }
    for (Elf_Scn* section = nullptr; (section = elf_nextscn(elf, section)) != nullptr;) {
        GElf_Shdr header;
        if (gelf_getshdr(section, &header) == nullptr) return false;
        if ((header.sh_flags & SHF_ALLOC) == 0 || header.sh_type == SHT_NOBITS ||
            header.sh_size == 0)
            continue;
        uint64_t address = header.sh_addr;
        for (const Piece& s : segments) {
            if (header.sh_offset >= s.offset && header.sh_size <= s.size &&
                header.sh_offset - s.offset <= s.size - header.sh_size) {
                address = s.address + (header.sh_offset - s.offset);
                break;
            }
        }
        Piece piece;
        if (!MakePiece(address, header.sh_size, header.sh_offset, fileSize, &piece)) return false;
        pieces->push_back(piece);
    }
    return SortApart(pieces);
}

}  // namespace

bool HasElfMagic(std::span<const uint8_t> start) {
    return start.size() >= SELFMAG && std::memcmp(start.data(), ELFMAG, SELFMAG) == 0;
}

Outcome ReadElfImage(int fd, uint64_t fileSize, std::span<uint8_t> image, ElfExtent* extent) {
    if (!LibraryReady()) return Reason::FileInvalid;
    // ELF_C_READ reads with pread as needed: a file cut short under us ends
    // the read with an error instead of a fault on a mapping.
    ElfHandle elf(elf_begin(fd, ELF_C_READ, nullptr));
    std::vector<Piece> segments, pieces;
    if (!elf || !IsRiscvExecutable(elf.get()) || !LoadSegments(elf.get(), fileSize, &segments) ||
        !ImagePieces(elf.get(), fileSize, segments, &pieces))
        return Reason::FileInvalid;

    const uint32_t lowest = pieces.front().address;
    const uint32_t origin = lowest >= kFlashBase ? lowest : 0;
    const uint64_t used = uint64_t{pieces.back().address} + pieces.back().size - origin;
    extent->lowest = lowest;
    extent->used = static_cast<uint32_t>(std::min<uint64_t>(used, UINT32_MAX));
    if (used > image.size()) return Reason::TooLarge;

    // Only the bytes the image spans are touched: what no piece fills is
    // zeroed, up to the next whole word.
    const auto end =
        static_cast<size_t>(std::min<uint64_t>((used + 3) & ~uint64_t{3}, image.size()));
    size_t filled = 0;
    for (const Piece& p : pieces) {
        const size_t at = p.address - origin;
        std::memset(image.data() + filled, 0, at - filled);
        if (!ReadAt(fd, image.data() + at, p.size, p.offset)) return Reason::FileInvalid;
        filled = at + p.size;
    }
    std::memset(image.data() + filled, 0, end - filled);
    return {};
}

}  // namespace vornic_image
