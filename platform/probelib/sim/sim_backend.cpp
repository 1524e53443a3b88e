// The simulated probe behind the probe library: presence, open state, latency,
// unplug faults, the transfer record and the state file.
#include "platform/probelib/sim/sim_backend.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/posix/posix_io.h"

namespace probelib::sim {
namespace {

// State file: magic, protection byte, then the whole flash.
constexpr std::array<char, 8> kStateMagic = {'V', 'N', 'S', 'I', 'M', '0', '1', '\n'};
constexpr int32_t kSimHandle = 1;

std::mutex g_activeMutex;
std::weak_ptr<SimBackend> g_active;

std::string NotAStateFile(const std::string& path, bool chinese) {
    return (chinese ? "不是模拟器状态文件：" : "not a simulator state file: ") + path;
}

// "HEAD PATH: why", with the head and the colon in the language asked for.
std::string StateFileFailure(const char* zh, const char* en, const std::string& path, int error,
                             bool chinese) {
    return (chinese ? zh : en) + path + (chinese ? "：" : ": ") + posix_io::ErrorText(error);
}

}  // namespace

std::string SimSerial(uint32_t index) { return "SIM" + std::to_string(index); }
std::string SimBusPort(uint32_t index) { return "sim-" + std::to_string(index); }

SimBackend::SimBackend(Faults faults, std::string statePath, SimProbeIdentity identity,
                       bool chinese)
    : m_faults(std::move(faults)),
      m_model(m_faults),
      m_statePath(std::move(statePath)),
      m_chinese(chinese),
      m_latencyUs(faults.latencyUs),
      m_present(!faults.absent && identity.selected),
      m_identity(identity),
      m_serial(SimSerial(identity.index)) {
    if (m_faults.swapAfterMs != 0 && m_identity.selected)
        m_swapThread = std::thread([this] { SwapLoop(); });
}

SimBackend::~SimBackend() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_swapChanged.notify_all();
    if (m_swapThread.joinable()) m_swapThread.join();
}

void SimBackend::JobEnded() {
    {
        std::lock_guard lock(m_mutex);
        m_swapDue = true;
    }
    m_swapChanged.notify_all();
}

void SimBackend::SwapLoop() {
    const auto interval = std::chrono::milliseconds(m_faults.swapAfterMs);
    const auto stopping = [this] { return m_stopping; };
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_swapChanged.wait(lock, [this] { return m_stopping || m_swapDue; });
        m_swapDue = false;
        if (m_stopping || m_swapChanged.wait_for(lock, interval, stopping)) return;
        UnplugLocked();
        if (m_swapChanged.wait_for(lock, interval, stopping)) return;
        // The next board: its own probe (serials after the N of the bus) and
        // an erased target. The state file follows the position on the bus.
        ++m_swaps;
        m_serial = SimSerial(m_identity.probes + m_swaps - 1);
        m_model = TargetModel(m_faults);
        m_present = true;
        SaveStateLocked(true);
        if (m_sink) m_sink(kDeviceArrival);
    }
}

OpenProblem SimBackend::LastOpenProblem() const {
    return m_identity.selected ? OpenProblem::None : OpenProblem::NoMatch;
}

int SimBackend::LastOpenedProbe(ProbeInfo* out) const {
    std::lock_guard lock(m_mutex);
    if (!m_opened || out == nullptr) return 0;
    out->serial = m_serial;
    out->busPort = SimBusPort(m_identity.index);
    out->id = kProbeUsbId;
    out->wrongMode = false;
    return 1;
}

int SimBackend::LoadState(std::string* error) {
    std::lock_guard lock(m_mutex);
    if (m_statePath.empty()) return 1;
    // Without O_NONBLOCK a FIFO at the name would hold the run here until
    // something wrote to it; it is refused below like any other non-file.
    posix_io::UniqueFd fd(
        posix_io::Open(m_statePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        if (errno == ENOENT) return 1;  // a new state file is written on the first change
        if (error)
            *error = StateFileFailure("无法读取模拟器状态文件 ", "cannot read simulator state ",
                                      m_statePath, errno, m_chinese);
        return 0;
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error) *error = NotAStateFile(m_statePath, m_chinese);
        return 0;
    }
    std::array<char, kStateMagic.size()> magic{};
    uint8_t protectedByte = 0;
    std::vector<uint8_t> flash(kFlashSize);
    auto readAll = [&fd](void* data, size_t size) {
        return posix_io::ReadAll(fd.Get(), data, size) == static_cast<ssize_t>(size);
    };
    bool ok = readAll(magic.data(), magic.size()) && magic == kStateMagic &&
              readAll(&protectedByte, 1) && readAll(flash.data(), flash.size());
    fd.Reset();
    if (!ok) {
        if (error) *error = NotAStateFile(m_statePath, m_chinese);
        return 0;
    }
    m_model.LoadFlash(flash);
    // The protected fault wins over a saved unprotected state.
    if (protectedByte != 0) m_model.SetReadProtected(true);
    return 1;
}

void SimBackend::SaveStateLocked(bool always) {
    const bool changed = m_model.TakeChanged();
    if (!(changed || always) || m_statePath.empty()) return;
    // Written to a file of its own beside the state, created exclusively, then
    // renamed over it: a crash never leaves half a state, two runs never write
    // into one file, and nothing but the state file is ever replaced.
    std::string temp = m_statePath + ".XXXXXX";
    posix_io::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    bool ok = fd.Valid();
    if (ok) {
        uint8_t protectedByte = m_model.ReadProtected() ? 1 : 0;
        auto flash = m_model.Flash();
        ok = posix_io::WriteAll(fd.Get(), kStateMagic.data(), kStateMagic.size()) &&
             posix_io::WriteAll(fd.Get(), &protectedByte, 1) &&
             posix_io::WriteAll(fd.Get(), flash.data(), flash.size());
        ok = fd.Close() && ok;
        ok = ok && ::rename(temp.c_str(), m_statePath.c_str()) == 0;
        const int why = errno;
        if (!ok) ::unlink(temp.c_str());
        errno = why;
    }
    // The next run would find the target as it was before this one: the
    // front end is told, and fails the run.
    if (!ok && m_saveFailure.empty())
        m_saveFailure =
            StateFileFailure("无法保存模拟器状态文件 ", "cannot save the simulator state ",
                             m_statePath, errno ? errno : EIO, m_chinese);
}

std::string SimBackend::WriteFailure() const {
    std::lock_guard lock(m_mutex);
    return m_saveFailure;
}

void SimBackend::Delay() const {
    if (m_latencyUs != 0) std::this_thread::sleep_for(std::chrono::microseconds(m_latencyUs));
}

int32_t SimBackend::Open(uint32_t index) {
    std::lock_guard lock(m_mutex);
    if (index != 0 || !m_present) return -1;
    if (!m_open) m_model.ResetLink();
    m_open = true;
    m_opened = true;
    return kSimHandle;
}

void SimBackend::Close(uint32_t index) {
    std::lock_guard lock(m_mutex);
    if (index == 0) m_open = false;
}

TransferStatus SimBackend::Write(uint32_t index, uint32_t pipe, std::span<const uint8_t> data,
                                 uint32_t* done) {
    *done = 0;
    Delay();  // outside the lock: a slow probe must not stall plug events
    std::lock_guard lock(m_mutex);
    if (TransferStatus refused = RefusalLocked(index); refused != TransferStatus::Done)
        return refused;
    *done = m_model.Write(pipe, data);
    m_transfers.push_back({true, pipe, std::vector<uint8_t>(data.begin(), data.begin() + *done),
                           uint32_t(data.size())});
    // A run is saved once, when its data phase ends, not after every packet.
    if (!m_model.InDataPhase()) SaveStateLocked();
    if (m_model.UnplugRequested()) UnplugLocked();
    return TransferStatus::Done;
}

TransferStatus SimBackend::Read(uint32_t index, uint32_t pipe, std::span<uint8_t> buffer,
                                uint32_t* done) {
    *done = 0;
    Delay();
    std::lock_guard lock(m_mutex);
    if (TransferStatus refused = RefusalLocked(index); refused != TransferStatus::Done)
        return refused;
    *done = m_model.Read(pipe, buffer);
    m_transfers.push_back({false, pipe,
                           std::vector<uint8_t>(buffer.begin(), buffer.begin() + *done),
                           uint32_t(buffer.size())});
    if (*done != 0) return TransferStatus::Done;
    return m_model.Stalls(pipe) ? TransferStatus::Stalled : TransferStatus::TimedOut;
}

TransferStatus SimBackend::RefusalLocked(uint32_t index) const {
    if (index != 0) return TransferStatus::Error;
    if (!m_present) return TransferStatus::NoDevice;
    return m_open ? TransferStatus::Done : TransferStatus::Closed;
}

void SimBackend::SetEventSink(EventSink sink) {
    std::lock_guard lock(m_mutex);
    m_sink = std::move(sink);
}

void SimBackend::Plug() {
    std::lock_guard lock(m_mutex);
    if (m_present) return;
    m_present = true;
    m_model.ResetLink();
    if (m_sink) m_sink(kDeviceArrival);
}

void SimBackend::UnplugLocked() {
    if (!m_present) return;
    m_present = false;
    m_open = false;
    SaveStateLocked();
    if (m_sink) m_sink(kDeviceRemoval);
}

void SimBackend::Unplug() {
    std::lock_guard lock(m_mutex);
    UnplugLocked();
}

bool SimBackend::Present() const {
    std::lock_guard lock(m_mutex);
    return m_present;
}

bool SimBackend::IsOpen() const {
    std::lock_guard lock(m_mutex);
    return m_open;
}

std::vector<uint8_t> SimBackend::Flash() const {
    std::lock_guard lock(m_mutex);
    auto f = m_model.Flash();
    return {f.begin(), f.end()};
}

std::vector<uint8_t> SimBackend::Sram() const {
    std::lock_guard lock(m_mutex);
    auto s = m_model.Sram();
    return {s.begin(), s.end()};
}

void SimBackend::LoadFlash(std::span<const uint8_t> content) {
    std::lock_guard lock(m_mutex);
    m_model.LoadFlash(content);
}

bool SimBackend::ReadProtected() const {
    std::lock_guard lock(m_mutex);
    return m_model.ReadProtected();
}

void SimBackend::SetReadProtected(bool on) {
    std::lock_guard lock(m_mutex);
    m_model.SetReadProtected(on);
}

std::vector<Transfer> SimBackend::TakeTransfers() {
    std::lock_guard lock(m_mutex);
    return std::exchange(m_transfers, {});
}

std::shared_ptr<SimBackend> MakeSimBackend(std::string_view faults, std::string_view statePath,
                                           std::string* error, std::string_view selector,
                                           bool chinese) {
    Faults parsed;
    if (!ParseFaults(faults, &parsed, error)) return nullptr;
    SimProbeIdentity identity;
    identity.probes = parsed.probes;
    if (!selector.empty()) {
        identity.selected = false;
        for (uint32_t k = 0; k < parsed.probes && !identity.selected; ++k) {
            identity.selected = selector == SimSerial(k) || selector == SimBusPort(k);
            if (identity.selected) identity.index = k;
        }
    }
    if (identity.index != 0 && !ParseFaults(faults, &parsed, error, identity.index)) return nullptr;
    std::string path(statePath);
    if (parsed.probesGiven && !path.empty()) path += "." + SimSerial(identity.index);
    auto sim = std::make_shared<SimBackend>(std::move(parsed), std::move(path), identity, chinese);
    if (!sim->LoadState(error)) return nullptr;
    std::lock_guard lock(g_activeMutex);
    g_active = sim;
    return sim;
}

int ListSimProbes(std::string_view faults, std::vector<ProbeInfo>* out, std::string* error) {
    Faults all;
    if (!ParseFaults(faults, &all, error)) return 0;
    std::vector<ProbeInfo> probes;
    for (uint32_t k = 0; k < all.probes; ++k) {
        Faults own;
        ParseFaults(faults, &own, nullptr, k);
        if (own.absent) continue;
        probes.push_back({SimBusPort(k), SimSerial(k), kProbeUsbId, false});
    }
    *out = std::move(probes);
    return 1;
}

std::shared_ptr<SimBackend> ActiveSim() {
    std::lock_guard lock(g_activeMutex);
    return g_active.lock();
}

}  // namespace probelib::sim
