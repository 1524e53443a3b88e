// The command exchange on pipe 1 and the link state machine: open/close
// toggle, hot-plug routine and the start-up open.
#include "vornic/probe/probe_link.h"

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "platform/probelib/probelib.h"
#include "vornic/probe/dialog_access.h"

namespace vornic_probe {

std::atomic<int32_t> g_deviceHandle{-1};
ProbeRequest g_requestBuffer;

using probe_detail::LogText;

namespace {

// Keeps a request and its reply together even if two callers slip past the
// session rule; nothing inside waits for the user-interface thread.
std::mutex g_exchangeMutex;

constexpr size_t kCaptionLimit = 100;

const char* OpenText() { return Tr("打开设备", "OPEN DEVICE"); }
const char* CloseText() { return Tr("关闭设备", "CLOSE DEVICE"); }

void SetLinkText(const char* text) { probe_detail::SetControlText(IDC_LINK_STATUS, text); }
void SetCaption(const char* text) { probe_detail::SetControlText(IDC_OPEN_DEVICE, text); }

}  // namespace

Outcome ExchangeCommand(ProbeCommand command, std::span<const uint8_t> payload, uint32_t readLength,
                        ProbeReply* reply) {
    if (reply == nullptr) return Reason::NotSent;
    reply->bytes.fill(0);
    if ((payload.size() != 1 && payload.size() != 4) || readLength > reply->bytes.size())
        return Reason::NotSent;

    std::lock_guard lock(g_exchangeMutex);
    g_requestBuffer.bytes.fill(0);
    g_requestBuffer.bytes[0] = kRequestMarker;
    g_requestBuffer.bytes[1] = static_cast<uint8_t>(command);
    g_requestBuffer.bytes[2] = static_cast<uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), g_requestBuffer.bytes.begin() + 3);

    const uint32_t frameLength = static_cast<uint32_t>(3 + payload.size());
    uint32_t written = frameLength;
    const int wrote =
        CH375WriteEndP(kProbeIndex, kCommandPipe, g_requestBuffer.bytes.data(), &written);
    const Reason writeFailure = written < frameLength && written != 0
                                    ? Reason::ShortWrite
                                    : TransferFailure(Reason::NotSent);
    // The read follows even after a failed write, so that a late reply is
    // taken here and not by the next exchange.
    uint32_t got = readLength;
    const int read = CH375ReadEndP(kProbeIndex, kCommandPipe, reply->bytes.data(), &got);

    // Marker, echo, length and result: a reply that holds them decides.
    constexpr uint32_t kExamined = 4;
    if (read != 0 && got >= kExamined)
        return reply->Answers(command) ? Outcome() : Outcome(Reason::WrongMarker);
    if (wrote == 0 || written < frameLength) return writeFailure;
    if (read == 0 || got == 0) return TransferFailure(Reason::NoReply);
    return Reason::ShortReply;
}

Reason TransferFailure(Reason otherwise) {
    switch (probelib::LastTransfer()) {
        case probelib::TransferResult::NoDevice:
            return Reason::ProbeGone;
        case probelib::TransferResult::Stalled:
            return Reason::Stalled;
        case probelib::TransferResult::TimedOut:
            return Reason::TimedOut;
        default:
            return otherwise;
    }
}

Outcome ExchangeCommand(ProbeCommand command, uint8_t payload, uint32_t readLength,
                        ProbeReply* reply) {
    return ExchangeCommand(command, std::span<const uint8_t>(&payload, 1), readLength, reply);
}

Outcome ExchangeCommandWord(ProbeCommand command, uint32_t value, uint32_t readLength,
                            ProbeReply* reply) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return ExchangeCommand(command, bytes, readLength, reply);
}

void OnOpenCloseDevice() {
    controls::Port* dialog = controls::MainDialog();
    std::string caption = dialog ? dialog->GetText(IDC_OPEN_DEVICE) : std::string();
    if (caption.size() >= kCaptionLimit) caption.resize(kCaptionLimit - 1);

    if (caption == CloseText()) {
        SetCaption(OpenText());
        if (g_deviceHandle.load() == -1) return;
        CH375CloseDevice(kProbeIndex);
        g_deviceHandle.store(-1);
        LogText("关闭设备成功!", "Succeed to close device!");
        SetLinkText(Tr("等待设备连接...", "Waiting for link..."));
        return;
    }

    int32_t handle = CH375OpenDevice(kProbeIndex);
    g_deviceHandle.store(handle);
    if (handle == -1) {
        LogText("打开设备失败!", "Fail to open device!");
        return;
    }
    LogText("打开设备成功!", "Succeed to open device!");
    SetCaption(CloseText());
}

void OnDeviceNotify(uint32_t event) {
    controls::Port* dialog = controls::MainDialog();
    if (event == kDeviceArrival) {
        SetLinkText(Tr("检测到设备已连接", "Device is linked"));
        // A handle from before the arrival is abandoned, not closed.
        g_deviceHandle.store(-1);
        if (dialog) dialog->Click(IDC_OPEN_DEVICE);
    } else if (event == kDeviceRemoval) {
        SetLinkText(Tr("检测到设备已断开连接.", "Device is off-linked"));
        if (g_deviceHandle.load() != -1 && dialog) dialog->Click(IDC_OPEN_DEVICE);
        if (dialog) dialog->ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_BLANK);
    }
}

void OpenProbeAtStartUp() {
    int32_t handle = CH375OpenDevice(kProbeIndex);
    g_deviceHandle.store(handle);
    if (handle == -1) return;
    SetLinkText(Tr("检测到设备已连接", "Device is linked"));
    SetCaption(CloseText());
    LogText("打开设备成功!", "Succeed to open device!");
}

void StartUpProbeLink() {
    SetLinkText(Tr("等待设备连接", "Wait for device link"));
    CH375SetDeviceNotify(kProbeIndex, nullptr, OnDeviceNotify);
    OpenProbeAtStartUp();
}

}  // namespace vornic_probe
