// The download job: conversion on the user-interface thread, then the steps
// (device check, read protection, erase, programme/verify, reset) on a worker.
#include "vornic/probe/download_job.h"

#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>
#include <utility>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "platform/posix/thread_safety.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"
#include "vornic/image/start_address.h"
#include "vornic/probe/device_commands.h"
#include "vornic/probe/dialog_access.h"
#include "vornic/probe/probe_link.h"

using probe_detail::Checked;
using probe_detail::LogText;
using probe_detail::Selection;

namespace {

posix_io::Mutex g_jobMutex;
std::condition_variable g_jobEnded;
bool g_jobRunning GUARDED_BY(g_jobMutex) = false;
Report g_lastJob GUARDED_BY(g_jobMutex);
ProgressCallback g_progress GUARDED_BY(g_jobMutex);
bool g_dryRun GUARDED_BY(g_jobMutex) = false;
// The last worker, joined before the next one starts and by WaitForDownloadJob.
// At exit an ended worker is joined; one still running is let go, since it
// may be waiting for a dialog that no longer serves calls.
struct WorkerThread {
    std::thread thread;
    ~WorkerThread() {
        if (!thread.joinable()) return;
        if (DownloadJobRunning())
            thread.detach();
        else
            thread.join();
    }
};
posix_io::Mutex g_threadMutex;
WorkerThread g_workerHolder;
std::thread& g_worker GUARDED_BY(g_threadMutex) = g_workerHolder.thread;

void EndJob(Report report) {
    posix_io::MutexLock lock(g_jobMutex);
    g_lastJob = std::move(report);
    g_jobRunning = false;
    g_jobEnded.notify_all();
}

// The steps after the conversion. Everything that can be known without the
// target is checked before anything is sent: a programme or verify step needs
// the conversion to have succeeded and the image to fit where it goes. A
// missing device, a protected target and a failed erase end the job too;
// every other step runs whatever came before. A dry run stops after the
// read-protect query.
void RunSteps(Report& report, const ProgressCallback& progress, bool dryRun) {
    const bool needsImage = Checked(IDC_PROGRAMME) || Checked(IDC_VERIFY);
    if (needsImage) {
        // The conversion has logged why it failed; nothing is added to that.
        if (!report.Ok()) return;
        const Outcome ready = PreflightImage(Selection(IDC_ADDRESS));
        if (!ready.Ok()) {
            report.Add(Checked(IDC_PROGRAMME) ? Step::Programme : Step::Verify, ready);
            return;
        }
    }
    if (g_deviceHandle.load() == -1) {
        LogText("未检测到硬件设备!", "No device connection detected!");
        report.Add(Step::Status, Reason::NoProbe);
        return;
    }
    Outcome status = QueryDeviceStatus();
    if (!status.Ok()) LogText("【读保护查询失败】", "【Fail to check read-protect status!】");
    if (g_readProtected.load() != 0) {
        LogText("请先解除读保护...", "Please disable read-protect at first...");
        report.Add(Step::Status, status.Ok() ? Reason::Protected : status);
        return;
    }
    report.Add(Step::Status, status);
    if (dryRun) return;
    if (Checked(IDC_ERASE_ALL)) {
        ProbeReply reply;
        const Outcome exchanged = ExchangeCommand(ProbeCommand::SelectOperation,
                                                  static_cast<uint8_t>(FlashOperation::EraseAll),
                                                  kReplyReadLength, &reply);
        if (reply.Answers(ProbeCommand::SelectOperation) && reply.Result() == kResultAccepted) {
            LogText("全部擦除成功!", "Succeed to clear-all!");
            report.Add(Step::Erase, {});
        } else {
            LogText("全部擦除失败!", "Fail to clear-all!");
            report.Add(Step::Erase, Refusal(exchanged));
            return;
        }
    }
    // The bytes of the last data run go into the report.
    const ProgressCallback counting = [&](uint32_t sent, uint32_t total) {
        report.bytesSent = sent;
        if (progress) progress(sent, total);
    };
    if (Checked(IDC_PROGRAMME)) report.Add(Step::Programme, ProgrammeVerify(0, counting));
    if (Checked(IDC_VERIFY) && !Checked(IDC_PROGRAMME))
        report.Add(Step::Verify, ProgrammeVerify(1, counting, &report.firstDifference));
    if (Checked(IDC_RESET)) report.Add(Step::Reset, SoftResetDevice());
}

using Clock = std::chrono::steady_clock;

unsigned RunWorker(ProbeSession session, Report report, Clock::time_point start) {
    ProgressCallback progress;
    bool dryRun = false;
    {
        posix_io::MutexLock lock(g_jobMutex);
        progress = g_progress;
        dryRun = g_dryRun;
    }
    RunSteps(report, progress, dryRun);
    // (0, 0): the job is over, so a front end stops showing its data phase.
    if (progress) progress(0, 0);
    session.Release();
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EndJob(std::move(report));
    return 0;
}

}  // namespace

Outcome PreflightImage(int addressIndex) {
    if (!g_firmwareImage.HasImage()) {
        LogText("请选择有效的数据文件!", "The data file is invalid!");
        return Reason::NoImage;
    }
    if (addressIndex < 0) {
        LogText("请先选择编程地址!", "Please to choose programme address!");
        return Reason::NoAddress;
    }
    return CheckStartAddress(g_firmwareImage, StartAddress(addressIndex));
}

unsigned DownloadWorker(ProbeSession session) {
    Report report;
    report.imageSize = g_firmwareImage.length;
    return RunWorker(std::move(session), std::move(report), Clock::now());
}

void OnExecute() {
    const Clock::time_point start = Clock::now();
    ProbeSession session;
    if (!session.Held()) {
        LogDeviceBusy();
        posix_io::MutexLock lock(g_jobMutex);
        if (!g_jobRunning) {
            g_lastJob = {};
            g_lastJob.Add(Step::Status, Reason::Busy);
        }
        return;
    }
    controls::Port* port = controls::MainDialog();
    // The path is used whole: the file named is the file read.
    const std::string path = port != nullptr ? port->GetText(IDC_FILE_PATH) : std::string();
    std::string outputName;
    Report report;
    report.Add(Step::Convert, ConvertHexToBin(path, outputName, &report.detail));
    report.imageSize = g_firmwareImage.length;
    if (port != nullptr) {
        port->SetText(IDC_FILE_PATH, outputName);
        port->MoveCaretToEnd(IDC_FILE_PATH);
    }
    {
        posix_io::MutexLock lock(g_jobMutex);
        g_jobRunning = true;
    }
    posix_io::MutexLock lock(g_threadMutex);
    // The previous worker has released the session, so it is at its end.
    if (g_worker.joinable()) g_worker.join();
    g_worker = std::thread(RunWorker, std::move(session), std::move(report), start);
}

bool DownloadJobRunning() {
    posix_io::MutexLock lock(g_jobMutex);
    return g_jobRunning;
}

void WaitForDownloadJob() {
    posix_io::MutexLock lock(g_jobMutex);
    while (g_jobRunning) g_jobEnded.wait(lock.Unique());
    lock.Unlock();
    posix_io::MutexLock threadLock(g_threadMutex);
    if (g_worker.joinable() && g_worker.get_id() != std::this_thread::get_id()) g_worker.join();
}

Report LastDownloadJob() {
    posix_io::MutexLock lock(g_jobMutex);
    return g_lastJob;
}

void SetDownloadProgress(ProgressCallback progress) {
    posix_io::MutexLock lock(g_jobMutex);
    g_progress = std::move(progress);
}

void SetDownloadDryRun(bool dryRun) {
    posix_io::MutexLock lock(g_jobMutex);
    g_dryRun = dryRun;
}
