// The download job: conversion on the calling thread (the user-interface
// thread for the window), then the steps (device check, read protection,
// erase, programme/verify, reset) on a worker or on the same thread.
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

namespace vornic_probe {

using vornic_image::ConvertHexToBin;
using vornic_image::g_firmwareImage;

using probe_detail::LogText;

namespace {

posix_io::Mutex g_jobMutex;
std::condition_variable g_jobEnded;
bool g_jobRunning GUARDED_BY(g_jobMutex) = false;
Report g_lastJob GUARDED_BY(g_jobMutex);
ProgressCallback g_progress GUARDED_BY(g_jobMutex);
// The window's inputs; they hold no state, so one serves every job.
ControlInputs g_controlInputs;
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
void RunSteps(Report& report, JobInputs& inputs, const JobSettings& settings) {
    const bool needsImage = inputs.Programme() || inputs.Verify();
    if (needsImage) {
        // The conversion has logged why it failed; nothing is added to that.
        if (!report.Ok()) return;
        const Outcome ready = PreflightImage(inputs.AddressIndex());
        if (!ready.Ok()) {
            report.Add(inputs.Programme() ? Step::Programme : Step::Verify, ready);
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
    if (settings.dryRun) return;
    if (inputs.Erase()) {
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
        if (settings.progress) settings.progress(sent, total);
    };
    if (inputs.Programme()) report.Add(Step::Programme, ProgrammeVerify(0, inputs, counting));
    if (inputs.Verify() && !inputs.Programme())
        report.Add(Step::Verify, ProgrammeVerify(1, inputs, counting, &report.firstDifference));
    if (inputs.Reset()) report.Add(Step::Reset, SoftResetDevice());
}

using Clock = std::chrono::steady_clock;

// The steps, then the end of the job; `session` is held until then.
Report FinishJob(ProbeSession session, Report report, JobInputs& inputs,
                 const JobSettings& settings, Clock::time_point start) {
    RunSteps(report, inputs, settings);
    // (0, 0): the job is over, so a front end stops showing its data phase.
    if (settings.progress) settings.progress(0, 0);
    session.Release();
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EndJob(report);
    return report;
}

// Takes the session and converts the file; false, with the refusal recorded,
// when the session is held elsewhere.
bool BeginJob(ProbeSession& session, Report& report, JobInputs& inputs, bool convert) {
    if (!session.Held()) {
        LogDeviceBusy();
        posix_io::MutexLock lock(g_jobMutex);
        if (!g_jobRunning) {
            g_lastJob = {};
            g_lastJob.Add(Step::Status, Reason::Busy);
        }
        return false;
    }
    if (convert) {
        std::string outputName;
        report.Add(Step::Convert, ConvertHexToBin(inputs.Path(), outputName, &report.detail));
        inputs.Converted(outputName);
    }
    report.imageSize = g_firmwareImage.length;
    posix_io::MutexLock lock(g_jobMutex);
    g_jobRunning = true;
    return true;
}

}  // namespace

bool ControlInputs::Erase() { return Checked(IDC_ERASE_ALL); }
bool ControlInputs::Programme() { return Checked(IDC_PROGRAMME); }
bool ControlInputs::Verify() { return Checked(IDC_VERIFY); }
bool ControlInputs::Reset() { return Checked(IDC_RESET); }

bool ControlInputs::Checked(int id) {
    controls::Port* port = controls::MainDialog();
    return port != nullptr && port->IsChecked(id) != 0;
}

std::string ControlInputs::Path() {
    controls::Port* port = controls::MainDialog();
    return port != nullptr ? port->GetText(IDC_FILE_PATH) : std::string();
}

int ControlInputs::AddressIndex() {
    controls::Port* port = controls::MainDialog();
    return port != nullptr ? port->GetSelection(IDC_ADDRESS) : -1;
}

void ControlInputs::Converted(const std::string& outputName) {
    if (controls::Port* port = controls::MainDialog()) {
        port->SetText(IDC_FILE_PATH, outputName);
        port->MoveCaretToEnd(IDC_FILE_PATH);
    }
}

void OnExecute() {
    const Clock::time_point start = Clock::now();
    ProbeSession session;
    Report report;
    if (!BeginJob(session, report, g_controlInputs, true)) return;
    JobSettings settings;
    {
        posix_io::MutexLock lock(g_jobMutex);
        settings.progress = g_progress;
    }
    posix_io::MutexLock lock(g_threadMutex);
    // The previous worker has released the session, so it is at its end.
    if (g_worker.joinable()) g_worker.join();
    g_worker = std::thread([session = std::move(session), report = std::move(report),
                            settings = std::move(settings), start]() mutable {
        FinishJob(std::move(session), std::move(report), g_controlInputs, settings, start);
    });
}

Report RunDownloadJob(JobInputs& inputs, const JobSettings& settings) {
    const Clock::time_point start = Clock::now();
    ProbeSession session;
    Report report;
    if (!BeginJob(session, report, inputs, settings.convert)) {
        Report busy;
        busy.Add(Step::Status, Reason::Busy);
        return busy;
    }
    return FinishJob(std::move(session), std::move(report), inputs, settings, start);
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

}  // namespace vornic_probe
