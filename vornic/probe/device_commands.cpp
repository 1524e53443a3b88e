// Read-protect status with its banner, disable and enable read protection,
// and the soft reset of the target.
#include "vornic/probe/device_commands.h"

#include <chrono>
#include <thread>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "vornic/probe/dialog_access.h"
#include "vornic/probe/probe_link.h"
#include "vornic/probe/probe_session.h"

namespace vornic_probe {

std::atomic<int32_t> g_readProtected{1};

using probe_detail::LogText;

namespace {

// The common opening of the three buttons: the session, then the device.
Outcome BeginCommand(ProbeSession& session) {
    if (!session.Held()) {
        LogDeviceBusy();
        return Reason::Busy;
    }
    if (g_deviceHandle.load() == -1) {
        LogText("未检测到硬件设备!", "No device connection detected!");
        return Reason::NoProbe;
    }
    return {};
}

// After a protection change the target restarts and reports its new state.
void ResetAndRequery(Report& report) {
    report.Add(Step::Reset, SoftResetDevice());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    report.Add(Step::Status, QueryDeviceStatus());
}

}  // namespace

Outcome QueryDeviceStatus() {
    ProbeReply reply;
    const Outcome exchanged =
        ExchangeCommand(ProbeCommand::ReadProtect, static_cast<uint8_t>(ReadProtectAction::Query),
                        kReplyReadLength, &reply);
    if (!reply.Answers(ProbeCommand::ReadProtect)) return Refusal(exchanged);
    bool chinese = g_useChinese.load() != 0;
    int banner = 0;
    if (reply.Result() == kResultProtected) {
        g_readProtected.store(1);
        banner = chinese ? IDB_BANNER_PROTECTED_ZH : IDB_BANNER_PROTECTED_EN;
    } else if (reply.Result() == kResultUnprotected) {
        g_readProtected.store(0);
        banner = chinese ? IDB_BANNER_UNPROTECTED_ZH : IDB_BANNER_UNPROTECTED_EN;
    } else {
        return Refusal(exchanged);
    }
    probe_detail::ShowBanner(banner);
    return {};
}

namespace {

Outcome CheckStatus() {
    ProbeSession session;
    if (Outcome begun = BeginCommand(session); !begun.Ok()) return begun;
    if (Outcome queried = QueryDeviceStatus(); !queried.Ok()) {
        LogText("【读保护查询失败】", "【Fail to check device status】");
        return queried;
    }
    if (g_readProtected.load() != 0) {
        probe_detail::SetControlText(IDC_LINK_STATUS, Tr("检测到设备已连接(读保护已使能)",
                                                         "Device is linked(Read-Protect enabled)"));
        LogText("【读保护已使能】", "【Read-Protect is enabled】");
    } else {
        probe_detail::SetControlText(IDC_LINK_STATUS, Tr("检测到设备已连接(读保护已解除)",
                                                         "Device is linked(Read-Protect disable)"));
        LogText("【读保护已解除】", "【Read-Protect is disable】");
    }
    return {};
}

}  // namespace

Report OnCheckStatus() {
    Report report;
    report.Add(Step::Status, CheckStatus());
    return report;
}

namespace {

// One read-protect change: the request, its accepted result, and what a
// success and a failure do to the flag.
struct ProtectChange {
    Step step;
    ReadProtectAction action;
    uint8_t acceptedResult;
    int32_t flagAfterSuccess;
    const char* successZh;
    const char* successEn;
    const char* failureZh;
    const char* failureEn;
    bool failureSetsProtected;  // a failed disable assumes protection stays on
};

Report ChangeReadProtect(const ProtectChange& change) {
    Report report;
    ProbeSession session;
    if (Outcome begun = BeginCommand(session); !begun.Ok()) {
        report.Add(change.step, begun);
        return report;
    }
    ProbeReply reply;
    const Outcome exchanged =
        ExchangeCommand(ProbeCommand::ReadProtect, static_cast<uint8_t>(change.action),
                        kProtectChangeReadLength, &reply);
    if (reply.Answers(ProbeCommand::ReadProtect) && reply.Result() == change.acceptedResult) {
        LogText(change.successZh, change.successEn);
        g_readProtected.store(change.flagAfterSuccess);
        report.Add(change.step, {});
        ResetAndRequery(report);
    } else {
        LogText(change.failureZh, change.failureEn);
        if (change.failureSetsProtected) g_readProtected.store(1);
        report.Add(change.step, Refusal(exchanged));
    }
    return report;
}

}  // namespace

Report OnDisableReadProtect() {
    return ChangeReadProtect({Step::Unprotect, ReadProtectAction::Disable, kResultProtectDisabled,
                              0, "解除读保护成功!", "Succeed to disable read-protect!",
                              "解除读保护失败!", "Fail to disable read-protect!", true});
}

Report OnEnableReadProtect() {
    return ChangeReadProtect({Step::Protect, ReadProtectAction::Enable, kResultProtectEnabled, 1,
                              "使能读保护成功!", "Succeed to enable read-protect!",
                              "使能读保护失败!", "Fail to enable read-protect!", false});
}

Outcome SoftResetDevice() {
    ProbeReply reply;
    const Outcome exchanged =
        ExchangeCommand(ProbeCommand::SoftReset, uint8_t{0x00}, kReplyReadLength, &reply);
    if (!reply.Answers(ProbeCommand::SoftReset)) return Refusal(exchanged);
    if (reply.Length() == 1 && reply.Result() == kResultAccepted) {
        LogText("软复位设置成功!", "Succeed to set soft-reset!");
        return {};
    }
    LogText("软复位设置失败!", "Fail to set soft-reset!");
    return Refusal(exchanged);
}

}  // namespace vornic_probe
