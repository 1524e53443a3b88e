// The simulated probe as a probe library backend, and its control surface for
// tests and front ends: plug and unplug, inspect and set the target, the
// record of every transfer, the state file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/probelib/backend.h"
#include "platform/probelib/sim/faults.h"
#include "platform/probelib/sim/target_model.h"

namespace probelib::sim {

// One transfer as the probe saw it.
struct Transfer {
    bool write;  // host to probe
    uint32_t pipe;
    std::vector<uint8_t> bytes;  // the bytes taken (write) or delivered (read)
    uint32_t requested;          // the length the caller asked for
};

// Which of the simulated probes (probes:N) this backend plays: SIMk at
// "sim-k". `selected` is false when the --probe selector names none of them.
struct SimProbeIdentity {
    uint32_t index = 0;
    uint32_t probes = 1;
    bool selected = true;
};

// The serial and bus-port of simulated probe k.
std::string SimSerial(uint32_t index);
std::string SimBusPort(uint32_t index);

class SimBackend final : public Backend {
  public:
    // `chinese`: the state file's read and save failures are worded in Chinese.
    SimBackend(Faults faults, std::string statePath, SimProbeIdentity identity = {},
               bool chinese = false);
    ~SimBackend() override;
    SimBackend(const SimBackend&) = delete;
    SimBackend& operator=(const SimBackend&) = delete;

    // Loads the state file when it exists. 1, or 0 with the reason.
    int LoadState(std::string* error);

    int32_t Open(uint32_t index) override;
    void Close(uint32_t index) override;
    TransferStatus Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                         uint32_t* done) override;
    // A reply that never comes ends as a time-out would (or by a stall), at once.
    TransferStatus Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer,
                        uint32_t* done) override;
    void SetEventSink(EventSink sink) override;
    OpenProblem LastOpenProblem() const override;
    int LastOpenedProbe(ProbeInfo* out) const override;
    // With swap-after: schedules the removal of this probe and the arrival
    // of a fresh one.
    void JobEnded() override;
    // Why the state file could not be saved, the first time it could not.
    std::string WriteFailure() const override;

    // Hot-plug: the event (kDeviceArrival or kDeviceRemoval) goes to the notification thread.
    // Plugging a plugged probe or unplugging an absent one does nothing.
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
    // Saves the state file when the target changed (or `always`).
    void SaveStateLocked(bool always = false);
    // Done when a transfer can go ahead, else why not.
    TransferStatus RefusalLocked(uint32_t index) const;
    void UnplugLocked();
    void Delay() const;
    // The swap-after operator: waits for JobEnded, then removes the probe
    // and plugs in a fresh one.
    void SwapLoop();

    mutable std::mutex m_mutex;
    const Faults m_faults;
    TargetModel m_model;
    std::string m_statePath;
    std::string m_saveFailure;  // the first save that failed, as a sentence
    const bool m_chinese;
    uint32_t m_latencyUs;
    bool m_present;
    bool m_open = false;
    bool m_opened = false;  // opened at least once
    EventSink m_sink;
    std::vector<Transfer> m_transfers;
    const SimProbeIdentity m_identity;
    std::string m_serial;
    uint32_t m_swaps = 0;  // fresh probes plugged in so far
    std::condition_variable m_swapChanged;
    bool m_swapDue = false;
    bool m_stopping = false;
    std::thread m_swapThread;
};

// Builds the sim backend from a fault string and a state file path (may be
// empty), playing the simulated probe that `selector` (a serial or bus-port,
// as --probe) names, or SIM0 without one. Null, with the reason in *error,
// when the faults or the state file are unusable. With probes:N the state of
// SIMk lives in statePath.SIMk.
std::shared_ptr<SimBackend> MakeSimBackend(std::string_view faults, std::string_view statePath,
                                           std::string* error, std::string_view selector = {},
                                           bool chinese = false);

// The simulated probes the fault string puts on the bus, those not absent at
// start, in order. 1, or 0 with the reason.
int ListSimProbes(std::string_view faults, std::vector<ProbeInfo>* out, std::string* error);

// The sim backend most recently made, while it lives (null otherwise).
std::shared_ptr<SimBackend> ActiveSim();

}  // namespace probelib::sim
