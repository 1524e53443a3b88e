// The process-wide probe session flag.
#include "vornic/probe/probe_session.h"

#include <atomic>
#include <utility>

#include "vornic/probe/dialog_access.h"

namespace vornic_probe {

namespace {
std::atomic<bool> g_sessionTaken{false};
}

ProbeSession::ProbeSession() : m_held(!g_sessionTaken.exchange(true, std::memory_order_acq_rel)) {}

ProbeSession::~ProbeSession() { Release(); }

ProbeSession::ProbeSession(ProbeSession&& other) noexcept
    : m_held(std::exchange(other.m_held, false)) {}

ProbeSession& ProbeSession::operator=(ProbeSession&& other) noexcept {
    if (this != &other) {
        Release();
        m_held = std::exchange(other.m_held, false);
    }
    return *this;
}

void ProbeSession::Release() {
    if (m_held) g_sessionTaken.store(false, std::memory_order_release);
    m_held = false;
}

bool ProbeSessionTaken() { return g_sessionTaken.load(std::memory_order_acquire); }

void LogDeviceBusy() {
    probe_detail::LogText("设备忙，请等待当前操作完成",
                          "The device is busy, wait for the current operation to finish");
}

}  // namespace vornic_probe
