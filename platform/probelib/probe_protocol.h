// The probe's wire vocabulary, spoken by the host's flash code and by the
// simulated probe alike: the pipes, frame markers, command codes, flash
// operations, read-protect actions, the result bytes of replies on pipe 1
// and the status codes of frames on pipe 2.
//
// A request on pipe 1 is marker, command, payload length (1 or 4), payload
// (a 32-bit value big-endian). A reply is marker, echo of the command,
// length, result. A status frame on pipe 2 is marker, 0, 0, status.
#pragma once

#include <cstdint>

inline constexpr uint32_t kCommandPipe = 1;
inline constexpr uint32_t kDataPipe = 2;

inline constexpr uint8_t kRequestMarker = 0x81;
inline constexpr uint8_t kReplyMarker = 0x82;
inline constexpr uint8_t kDataStatusMarker = 0x41;

// The image crosses pipe 2 in packets of this size (the last one may be
// shorter); a programme run reports a page status after every second packet.
inline constexpr uint32_t kDataPacketSize = 64;
inline constexpr uint32_t kPacketsPerPageStatus = 2;

enum class ProbeCommand : uint8_t {
    SetAddress = 0x01,
    SelectOperation = 0x02,
    SetLength = 0x05,
    ReadProtect = 0x06,
    SoftReset = 0x0B,
};

enum class FlashOperation : uint8_t {
    EraseAll = 1,
    Programme = 2,
    Verify = 3,
    ProgrammeAndVerify = 4
};

enum class ReadProtectAction : uint8_t { Query = 1, Disable = 2, Enable = 3 };

// Result bytes of replies on pipe 1.
inline constexpr uint8_t kResultRefused = 0;
// SetAddress, SetLength, SelectOperation EraseAll and SoftReset carried out.
inline constexpr uint8_t kResultAccepted = 1;
// SelectOperation Programme and Verify: the data phase has started.
inline constexpr uint8_t kResultProgrammeStarted = 2;
inline constexpr uint8_t kResultVerifyStarted = 3;
// SelectOperation ProgrammeAndVerify: a Programme request starts the run.
inline constexpr uint8_t kResultAwaitProgramme = 4;
// ReadProtect Query: the protection is on or off.
inline constexpr uint8_t kResultProtected = 1;
inline constexpr uint8_t kResultUnprotected = 2;
// ReadProtect Disable and Enable carried out.
inline constexpr uint8_t kResultProtectDisabled = 3;
inline constexpr uint8_t kResultProtectEnabled = 5;

// Status codes of the data pipe's status frames (byte 3).
inline constexpr uint8_t kStatusPageDone = 2;
inline constexpr uint8_t kStatusPageFailed = 3;
inline constexpr uint8_t kStatusProgrammeDone = 4;
inline constexpr uint8_t kStatusProgrammeFailed = 5;
inline constexpr uint8_t kStatusPacketVerified = 6;
inline constexpr uint8_t kStatusVerifyDone = 7;
inline constexpr uint8_t kStatusVerifyFailed = 8;
