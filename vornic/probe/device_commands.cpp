// Read-protect status with its banner, disable and enable read protection,
// and the soft reset of the target.
#include "device_commands.h"

#include <chrono>
#include <thread>

#include "control_ids.h"
#include "controls.h"
#include "language.h"
#include "output_log.h"
#include "probe_link.h"
#include "probe_session.h"

std::atomic<int32_t> g_readProtected{1};

namespace {

void LogText(const char* zh, const char* en) { LogMessage("%s", Tr(zh, en)); }

void ShowBanner(int bitmap) {
    if (controls::Port* dialog = controls::MainDialog())
        dialog->ShowBitmap(IDC_STATUS_BITMAP, bitmap);
}

// The common opening of the three buttons: the session, then the device.
bool BeginCommand(ProbeSession& session) {
    if (!session.Held()) {
        LogDeviceBusy();
        return false;
    }
    if (g_deviceHandle.load() == -1) {
        LogText("未检测到硬件设备!", "No device connection detected!");
        return false;
    }
    return true;
}

// After a protection change the target restarts and reports its new state.
void ResetAndRequery() {
    SoftResetDevice();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QueryDeviceStatus();
}

}  // namespace

int QueryDeviceStatus() {
    ProbeReply reply;
    ExchangeCommand(ProbeCommand::ReadProtect, static_cast<uint8_t>(ReadProtectAction::Query),
                    kReplyReadLength, &reply);
    if (!reply.Answers(ProbeCommand::ReadProtect)) return 0;
    bool chinese = g_useChinese.load() != 0;
    int banner = 0;
    if (reply.Result() == 1) {
        g_readProtected.store(1);
        banner = chinese ? IDB_BANNER_PROTECTED_ZH : IDB_BANNER_PROTECTED_EN;
    } else if (reply.Result() == 2) {
        g_readProtected.store(0);
        banner = chinese ? IDB_BANNER_UNPROTECTED_ZH : IDB_BANNER_UNPROTECTED_EN;
    } else {
        return 0;
    }
    ShowBanner(banner);
    return 1;
}

void OnCheckStatus() {
    ProbeSession session;
    if (!BeginCommand(session)) return;
    if (!QueryDeviceStatus()) {
        LogText("【读保护查询失败】", "【Fail to check device status】");
        return;
    }
    controls::Port* dialog = controls::MainDialog();
    if (g_readProtected.load() != 0) {
        if (dialog)
            dialog->SetText(IDC_LINK_STATUS, Tr("检测到设备已连接(读保护已使能)",
                                                "Device is linked(Read-Protect enabled)"));
        LogText("【读保护已使能】", "【Read-Protect is enabled】");
    } else {
        if (dialog)
            dialog->SetText(IDC_LINK_STATUS, Tr("检测到设备已连接(读保护已解除)",
                                                "Device is linked(Read-Protect disable)"));
        LogText("【读保护已解除】", "【Read-Protect is disable】");
    }
}

namespace {

// One read-protect change: the request, its accepted result, and what a
// success and a failure do to the flag.
struct ProtectChange {
    ReadProtectAction action;
    uint8_t acceptedResult;
    int32_t flagAfterSuccess;
    const char* successZh;
    const char* successEn;
    const char* failureZh;
    const char* failureEn;
    bool failureSetsProtected;  // a failed disable assumes protection stays on
};

void ChangeReadProtect(const ProtectChange& change) {
    ProbeSession session;
    if (!BeginCommand(session)) return;
    ProbeReply reply;
    ExchangeCommand(ProbeCommand::ReadProtect, static_cast<uint8_t>(change.action),
                    kProtectChangeReadLength, &reply);
    if (reply.Answers(ProbeCommand::ReadProtect) && reply.Result() == change.acceptedResult) {
        LogText(change.successZh, change.successEn);
        g_readProtected.store(change.flagAfterSuccess);
        ResetAndRequery();
    } else {
        LogText(change.failureZh, change.failureEn);
        if (change.failureSetsProtected) g_readProtected.store(1);
    }
}

}  // namespace

void OnDisableReadProtect() {
    ChangeReadProtect({ReadProtectAction::Disable, 3, 0, "解除读保护成功!",
                       "Succeed to disable read-protect!", "解除读保护失败!",
                       "Fail to disable read-protect!", true});
}

void OnEnableReadProtect() {
    ChangeReadProtect({ReadProtectAction::Enable, 5, 1, "使能读保护成功!",
                       "Succeed to enable read-protect!", "使能读保护失败!",
                       "Fail to enable read-protect!", false});
}

void SoftResetDevice() {
    ProbeReply reply;
    ExchangeCommand(ProbeCommand::SoftReset, uint8_t{0x00}, kReplyReadLength, &reply);
    if (!reply.Answers(ProbeCommand::SoftReset)) return;
    if (reply.Length() == 1 && reply.Result() == 1)
        LogText("软复位设置成功!", "Succeed to set soft-reset!");
    else
        LogText("软复位设置失败!", "Fail to set soft-reset!");
}
