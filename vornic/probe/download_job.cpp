// The download job: conversion on the user-interface thread, then the steps
// (device check, read protection, erase, programme/verify, reset) on a worker.
#include "download_job.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "control_ids.h"
#include "controls.h"
#include "device_commands.h"
#include "language.h"
#include "output_log.h"
#include "probe_link.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"

namespace {

std::mutex g_jobMutex;
std::condition_variable g_jobEnded;
bool g_jobRunning = false;
int g_lastOutcome = -1;
ProgressCallback g_progress;
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
std::mutex g_threadMutex;
WorkerThread g_workerHolder;
std::thread& g_worker = g_workerHolder.thread;

constexpr size_t kPathBufferSize = 260;

int Checked(int id) {
    controls::Port* port = controls::MainDialog();
    return port != nullptr ? port->IsChecked(id) : 0;
}

void LogText(const char* zh, const char* en) { LogMessage("%s", Tr(zh, en)); }

void EndJob(int outcome) {
    std::lock_guard<std::mutex> lock(g_jobMutex);
    g_lastOutcome = outcome;
    g_jobRunning = false;
    g_jobEnded.notify_all();
}

// The soft reset logs its own outcome; the job learns it from the pane.
int ResetAndReport() {
    controls::Port* port = controls::MainDialog();
    size_t before = port != nullptr ? port->GetText(IDC_OUTPUT).size() : 0;
    SoftResetDevice();
    if (port == nullptr) return 0;
    std::string pane = port->GetText(IDC_OUTPUT);
    if (pane.size() <= before) return 0;
    std::string_view added = std::string_view(pane).substr(before);
    return added.find(Tr("软复位设置成功!", "Succeed to set soft-reset!")) != std::string_view::npos
               ? 1
               : 0;
}

int RunSteps(const ProgressCallback& progress) {
    if (g_deviceHandle.load() == -1) {
        LogText("未检测到硬件设备!", "No device connection detected!");
        return 0;
    }
    int outcome = 1;
    if (!QueryDeviceStatus()) {
        LogText("【读保护查询失败】", "【Fail to check read-protect status!】");
        outcome = 0;
    }
    if (g_readProtected.load() != 0) {
        LogText("请先解除读保护...", "Please disable read-protect at first...");
        return 0;
    }
    // Programme or verify without an image would leave an erased chip and
    // nothing written: refuse before the erase.
    if ((Checked(IDC_PROGRAMME) || Checked(IDC_VERIFY)) && !g_firmwareImage.HasImage()) {
        LogText("请选择有效的数据文件!", "The data file is invalid!");
        return 0;
    }
    if (Checked(IDC_ERASE_ALL)) {
        ProbeReply reply;
        ExchangeCommand(ProbeCommand::SelectOperation,
                        static_cast<uint8_t>(FlashOperation::EraseAll), kReplyReadLength, &reply);
        if (reply.Answers(ProbeCommand::SelectOperation) && reply.Result() == 0x01) {
            LogText("全部擦除成功!", "Succeed to clear-all!");
        } else {
            LogText("全部擦除失败!", "Fail to clear-all!");
            return 0;
        }
    }
    if (Checked(IDC_PROGRAMME)) {
        if (!ProgrammeVerify(0, progress)) outcome = 0;
    }
    if (Checked(IDC_VERIFY) && !Checked(IDC_PROGRAMME)) {
        if (!ProgrammeVerify(1, progress)) outcome = 0;
    }
    if (Checked(IDC_RESET)) {
        if (!ResetAndReport()) outcome = 0;
    }
    return outcome;
}

}  // namespace

unsigned DownloadWorker(ProbeSession session) {
    ProgressCallback progress;
    {
        std::lock_guard<std::mutex> lock(g_jobMutex);
        progress = g_progress;
    }
    int outcome = RunSteps(progress);
    // (0, 0): the job is over, so a front end stops showing its data phase.
    if (progress) progress(0, 0);
    session.Release();
    EndJob(outcome);
    return 0;
}

void OnExecute() {
    ProbeSession session;
    if (!session.Held()) {
        LogDeviceBusy();
        std::lock_guard<std::mutex> lock(g_jobMutex);
        if (!g_jobRunning) g_lastOutcome = 0;
        return;
    }
    controls::Port* port = controls::MainDialog();
    std::string path = port != nullptr ? port->GetText(IDC_FILE_PATH) : std::string();
    if (path.size() >= kPathBufferSize) path.resize(kPathBufferSize - 1);
    std::string outputName;
    ConvertHexToBin(path, outputName);
    if (port != nullptr) {
        port->SetText(IDC_FILE_PATH, outputName);
        port->MoveCaretToEnd(IDC_FILE_PATH);
    }
    {
        std::lock_guard<std::mutex> lock(g_jobMutex);
        g_jobRunning = true;
    }
    std::lock_guard<std::mutex> lock(g_threadMutex);
    // The previous worker has released the session, so it is at its end.
    if (g_worker.joinable()) g_worker.join();
    g_worker = std::thread(DownloadWorker, std::move(session));
}

bool DownloadJobRunning() {
    std::lock_guard<std::mutex> lock(g_jobMutex);
    return g_jobRunning;
}

void WaitForDownloadJob() {
    std::unique_lock<std::mutex> lock(g_jobMutex);
    g_jobEnded.wait(lock, [] { return !g_jobRunning; });
    lock.unlock();
    std::lock_guard<std::mutex> threadLock(g_threadMutex);
    if (g_worker.joinable() && g_worker.get_id() != std::this_thread::get_id()) g_worker.join();
}

int LastDownloadJobOutcome() {
    std::lock_guard<std::mutex> lock(g_jobMutex);
    return g_lastOutcome;
}

void SetDownloadProgress(ProgressCallback progress) {
    std::lock_guard<std::mutex> lock(g_jobMutex);
    g_progress = std::move(progress);
}
