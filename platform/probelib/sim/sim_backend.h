// The simulated probe as a probe library backend, and its control surface for
// tests and front ends: plug and unplug, inspect and set the target, the
// record of every transfer, the state file.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "backend.h"
#include "faults.h"
#include "target_model.h"

namespace probelib::sim {

// One transfer as the probe saw it.
struct Transfer {
    bool write;  // host to probe
    uint32_t pipe;
    std::vector<uint8_t> bytes;  // the bytes taken (write) or delivered (read)
    uint32_t requested;          // the length the caller asked for
};

class SimBackend final : public Backend {
  public:
    SimBackend(Faults faults, std::string statePath);
    ~SimBackend() override;
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    // Loads the state file when it exists. 1, or 0 with the reason.
    int LoadState(std::string* error);

    int32_t Open(uint32_t index) override;
    void Close(uint32_t index) override;
    TransferStatus Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                         uint32_t* done) override;
    // A reply that never comes ends as a time-out would, at once.
    TransferStatus Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer,
                        uint32_t* done) override;
    void SetEventSink(EventSink sink) override;

    // Hot-plug: the event (3 or 0) goes to the notification thread. Plugging a
    // plugged probe or unplugging an absent one does nothing.
    void Plug();
    void Unplug();
    bool Present() const;
    bool IsOpen() const;

    std::vector<uint8_t> Flash() const;
    std::vector<uint8_t> Sram() const;
    void LoadFlash(std::span<const uint8_t> content);
    bool ReadProtected() const;
    void SetReadProtected(bool on);

    // Every transfer since the last call, oldest first.
    std::vector<Transfer> TakeTransfers();

  private:
    void SaveStateLocked();
    // Done when a transfer can go ahead, else why not.
    TransferStatus RefusalLocked(uint32_t index) const;
    void UnplugLocked();
    void Delay() const;

    mutable std::mutex m_mutex;
    TargetModel m_model;
    std::string m_statePath;
    uint32_t m_latencyUs;
    bool m_present;
    bool m_open = false;
    EventSink m_sink;
    std::vector<Transfer> m_transfers;
};

// Builds the sim backend from a fault string and a state file path (may be
// empty). Null, with the reason in *error, when either is unusable.
std::shared_ptr<SimBackend> MakeSimBackend(std::string_view faults, std::string_view statePath,
                                           std::string* error);

// The sim backend most recently made, while it lives (null otherwise).
std::shared_ptr<SimBackend> ActiveSim();

}  // namespace probelib::sim
