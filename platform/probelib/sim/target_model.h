// The simulated probe and its CH32V103 target at the level of pipe bytes:
// bytes written to a pipe go in, bytes to read from a pipe come out. Used by
// the sim backend and reusable by a USB emulation that answers bulk transfers.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "platform/probelib/probe_protocol.h"
#include "platform/probelib/sim/faults.h"

namespace probelib::sim {

inline constexpr uint32_t kFlashBase = 0x08000000;
inline constexpr uint32_t kFlashSize = 64 * 1024;
inline constexpr uint32_t kSramBase = 0x20000000;
inline constexpr uint32_t kSramSize = 20 * 1024;
// Value of every flash byte after an erase.
inline constexpr uint8_t kErasedByte = 0xFF;
inline constexpr uint32_t kPageSize = 128;

class TargetModel {
  public:
    explicit TargetModel(Faults faults = {});

    // Bytes the host wrote to pipe 1 (a request) or 2 (a data packet); returns
    // the number of bytes the probe took.
    uint32_t Write(uint32_t pipe, std::span<const uint8_t> bytes);
    // Fills buffer with the next pending frame of the pipe (cut to the buffer);
    // returns the byte count, 0 when nothing is pending.
    uint32_t Read(uint32_t pipe, std::span<uint8_t> buffer);

    // The probe was (re)attached: pending frames and any data phase are dropped.
    void ResetLink();

    // A read that finds nothing pending on `pipe` ends by a stall (stall:CMD
    // for the last request, or stall:data).
    bool Stalls(uint32_t pipe) const;

    // True once the unplug-after fault has fired (cleared by ResetLink).
    bool UnplugRequested() const { return m_unplugRequested; }

    std::span<const uint8_t> Flash() const { return m_flash; }
    std::span<const uint8_t> Sram() const { return m_sram; }
    void LoadFlash(std::span<const uint8_t> content);
    bool ReadProtected() const { return m_protected; }
    void SetReadProtected(bool on) { m_protected = on; }
    // Data packets taken in data phases since start.
    uint32_t DataPackets() const { return m_dataPackets; }
    // A programme or verify run is taking data packets.
    bool InDataPhase() const { return m_phase != Phase::Idle; }
    // Flash or protection changed since the last call.
    bool TakeChanged();

  private:
    enum class Phase { Idle, Programme, Verify };

    void HandleRequest(std::span<const uint8_t> frame);
    void HandleData(std::span<const uint8_t> packet, uint32_t* taken);
    void Reply(uint8_t command, uint8_t result);
    // The command byte a reply carries back (another one under bad-echo).
    uint8_t Echo(uint8_t command) const;
    // Whether a fault set names the request being handled.
    bool Hit(const std::set<int>& faults) const;
    void Status(uint8_t result);
    std::span<uint8_t> Memory(uint32_t address);
    void EraseFlash();

    Faults m_faults;
    std::vector<uint8_t> m_flash;
    std::vector<uint8_t> m_sram;
    bool m_protected = false;
    bool m_changed = false;
    std::optional<uint32_t> m_address;
    std::optional<uint32_t> m_length;
    bool m_awaitSecondSelect = false;  // answered 4: the next Programme starts the run
    Phase m_phase = Phase::Idle;
    uint32_t m_received = 0;  // image bytes taken in this data phase
    uint32_t m_pagePackets = 0;
    bool m_runFailed = false;
    uint32_t m_dataPackets = 0;
    bool m_unplugRequested = false;
    int m_requestCommand = 0;   // the request being handled
    int m_requestPayload = -1;  // its one-byte payload, -1 for a four-byte one
    std::optional<std::vector<uint8_t>> m_commandReply;
    std::deque<std::vector<uint8_t>> m_dataStatus;
};

}  // namespace probelib::sim
