// HEX-to-BIN conversion: turns the chosen firmware file into the process-wide
// image, writing a .BIN file beside a HEX or ELF source.
#pragma once

#include <string>
#include <string_view>

#include "vornic/outcome/outcome.h"

namespace vornic_image {

// Loads the file at path (used whole, whatever its length) into
// g_firmwareImage. A file whose name (not folder) ends in ".ELF" in any case,
// or whose first bytes are the ELF magic, is read as an ELF executable (its
// image records the link address); otherwise a name holding ".HEX" in any
// case is decoded block by block. Either is padded to whole 32-bit words and
// written as a .BIN file beside it (app.hex -> app.bin, APP.ELF -> APP.BIN)
// through a temporary file renamed over that name. Otherwise a name holding
// ".BIN" is taken as the image unchanged, refused by its size alone when it
// is larger than an image.
// Every outcome but a read failure and a .BIN source is logged. outputName is
// emptied first and, on success, receives the image file's path (the .BIN
// written, or path itself). The previous image is dropped first: after any
// failure there is none. A HEX image whose first data lies at or above
// 0x08000000 records that address as where it was linked. A refused HEX
// file's line and reason go to *detail ("line 3: bad checksum"), left empty
// otherwise. Must not run while a download job reads g_firmwareImage.
Outcome ConvertHexToBin(std::string_view path, std::string& outputName,
                        std::string* detail = nullptr);

// The .BIN path for a HEX source path: the file name is cut at its first
// ".HEX" (any case), which becomes ".BIN" in the same letter cases. Empty when
// the file name holds no ".HEX".
std::string BinNameForHex(std::string_view path);

// The .BIN path for an ELF source path: a trailing ".ELF" (any case) becomes
// ".BIN" in the same letter cases; any other name gets ".bin" appended, so
// that the source itself is never the name written.
std::string BinNameForElf(std::string_view path);

}  // namespace vornic_image
