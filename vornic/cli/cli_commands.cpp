// vornic-cli's commands: the headless dialog set up as the window's
// initialisation does, list, the download job and device commands, one board
// or one after another, and --probe=all's children.
#include "vornic/cli/cli_commands.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "platform/controls/headless_dialog.h"
#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/usb/open_problem.h"
#include "vornic/cli/all_probes.h"
#include "vornic/cli/board_loop.h"
#include "vornic/cli/board_record.h"
#include "vornic/cli/cli.h"
#include "vornic/cli/cli_parse.h"
#include "vornic/cli/cli_print.h"
#include "vornic/cli/line_options.h"
#include "vornic/image/firmware_image.h"
#include "vornic/image/hex_to_bin.h"
#include "vornic/image/start_address.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/options/options.h"
#include "vornic/probe/device_commands.h"
#include "vornic/probe/download_job.h"
#include "vornic/probe/probe_link.h"
#include "vornic/probe/probe_session.h"

namespace vornic_cli {

using vornic_image::ConvertHexToBin;
using vornic_image::g_firmwareImage;
using vornic_probe::FixedInputs;
using vornic_probe::g_deviceHandle;
using vornic_probe::g_readProtected;
using vornic_probe::JobSettings;
using vornic_probe::LogDeviceBusy;
using vornic_probe::OnCheckStatus;
using vornic_probe::OnDisableReadProtect;
using vornic_probe::OnEnableReadProtect;
using vornic_probe::OnOpenCloseDevice;
using vornic_probe::PreflightImage;
using vornic_probe::ProbeSession;
using vornic_probe::RunDownloadJob;
using vornic_probe::SetVerifyIsCheck;
using vornic_probe::SoftResetDevice;
using vornic_probe::StartAddress;
using vornic_probe::StartUpProbeLink;

namespace {

// The job's inputs from the command line: verify alone for a verify (and for
// --if-changed's first look), erase alone for an erase, else as asked.
FixedInputs InputsOf(const Options& o, bool verifyOnly) {
    const bool eraseOnly = o.command == "erase";
    FixedInputs inputs;
    inputs.erase = eraseOnly || (!verifyOnly && o.erase);
    inputs.programme = !eraseOnly && !verifyOnly && o.programme;
    inputs.verify = !eraseOnly && (verifyOnly || o.verify);
    inputs.reset = !eraseOnly && !verifyOnly && o.reset;
    inputs.path = o.file;
    inputs.addressIndex = o.addressIndex;
    return inputs;
}

// The exit status a report decides on its own: every step went well or not.
int StatusOf(const Report& report) { return report.Ok() ? kExitOk : kExitFailed; }

// erase: the job's steps without a file, the erase alone asked for.
Report EraseCommand(const Options& o) {
    FixedInputs inputs = InputsOf(o, false);
    JobSettings settings;
    settings.convert = false;
    return RunDownloadJob(inputs, settings);
}

// What a dry run found it would do: the steps, the start address and the image.
void PrintDryRun(const Options& o) {
    std::vector<std::string> steps;
    const bool verifyOnly = o.command == "verify";
    if (!verifyOnly && o.erase) steps.emplace_back(Tr("擦除", "erase"));
    if (!verifyOnly && o.programme) steps.emplace_back(Tr("编程", "programme"));
    if (verifyOnly || o.verify) steps.emplace_back(Tr("校验", "verify"));
    if (!verifyOnly && o.reset) steps.emplace_back(Tr("复位", "reset"));
    std::string line = Tr("vornic-cli: 试运行：将", "vornic-cli: dry run: would");
    for (size_t i = 0; i < steps.size(); ++i)
        line += (i == 0                  ? Tr("", " ")
                 : i + 1 == steps.size() ? Tr("和", " and ")
                                         : Tr("、", ", ")) +
                steps[i];
    if (steps.empty()) line += Tr("不执行任何步骤", " do nothing");
    char address[64];
    std::snprintf(address, sizeof address, Tr("，起始地址 0x%08X", " at 0x%08X"),
                  StartAddress(o.addressIndex));
    line += address;
    if (g_firmwareImage.HasImage())
        line += Tr("：", ": ") + std::to_string(g_firmwareImage.length) +
                Tr(" 字节，SHA-256 ", " bytes, SHA-256 ") + Sha256Hex(g_firmwareImage.Bytes());
    line += "\n";
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

// The soft reset as a command of its own, under the probe session.
Outcome ResetCommand() {
    ProbeSession session;
    if (!session.Held()) {
        LogDeviceBusy();
        return Reason::Busy;
    }
    if (g_deviceHandle.load() == -1) {
        LogMessage("%s", Tr("未检测到硬件设备!", "No device connection detected!"));
        return Reason::NoProbe;
    }
    return SoftResetDevice();
}

probelib::UsbOptions UsbOptionsOf(const Options& o) {
    probelib::UsbOptions usb;
    usb.extraIds = o.common.usbIds;
    usb.probe = o.common.probe;
    return usb;
}

// The attached probes: the simulated ones with --simulate, else those on USB.
// 0 with the exit status printed about when they cannot be listed.
int ListAttached(const Options& o, std::vector<probelib::ProbeInfo>* probes, int* status) {
    std::string error;
    if (o.common.simulate ? probelib::ListSimProbes(o.common.simFaults, probes, &error)
                          : probelib::ListProbes(UsbOptionsOf(o), probes, &error))
        return 1;
    *status = o.common.simulate ? kExitUsage : kExitFailed;
    if (*status == kExitUsage)
        Usage(error);
    else
        std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
    return 0;
}

std::string NoProbeText(const Options& o) {
    return o.common.simulate ? Tr("未连接模拟下载器", "no simulated probe is attached")
                             : probelib::OpenProblemText(probelib::OpenProblem::NotFound, {},
                                                         g_useChinese.load() != 0);
}

// One job on FILE; its report.
Report RunJob(const Options& o, bool verifyOnly, const JobSettings& settings) {
    FixedInputs inputs = InputsOf(o, verifyOnly);
    return RunDownloadJob(inputs, settings);
}

// flash and verify; --if-changed verifies first and runs the whole job only
// when the target holds other content.
Report RunDownload(const Options& o, controls::HeadlessDialog& dialog) {
    ProgressBar bar(!o.quiet && isatty(2) != 0);
    JobSettings settings;
    settings.progress = [&bar](uint32_t sent, uint32_t total) { bar.Update(sent, total); };
    settings.dryRun = o.dryRun;
    const bool verifyOnly = o.command == "verify";
    const auto start = std::chrono::steady_clock::now();
    Report report;
    if (o.dryRun) {
        report = RunJob(o, verifyOnly, settings);
        if (report.Ok()) PrintDryRun(o);
    } else if (!o.ifChanged) {
        report = RunJob(o, verifyOnly, settings);
    } else {
        SetVerifyIsCheck(true);
        report = RunJob(o, true, settings);
        SetVerifyIsCheck(false);
        const StepOutcome* failed = report.FirstFailure();
        if (failed == nullptr) {
            std::fputs(Tr("vornic-cli: 目标中已是此映像，跳过擦除和编程\n",
                          "vornic-cli: the target already holds the image; erase and programme "
                          "skipped\n"),
                       stdout);
            std::fflush(stdout);
            if (o.reset) {
                Outcome reset;
                dialog.Invoke([&reset] { reset = ResetCommand(); });
                report.Add(Step::Reset, reset);
            }
        } else if (failed->step == Step::Verify && failed->outcome == Reason::Differs) {
            std::fputs(Tr("vornic-cli: 目标内容与映像不同，开始烧录\n",
                          "vornic-cli: target differs from the image; flashing\n"),
                       stdout);
            std::fflush(stdout);
            report = RunJob(o, false, settings);
        }
    }
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

// The record's file and address.
BoardContext BaseContext(const Options& o) {
    BoardContext context;
    context.file = o.file;
    context.address = o.addressIndex == 1 ? 0x20000000 : 0x08000000;
    context.dryRun = o.dryRun;
    return context;
}

// One board: the download and what its record says besides the report.
BoardRun RunBoard(const Options& o, controls::HeadlessDialog& dialog) {
    BoardRun board;
    board.context = BaseContext(o);
    board.context.started = std::chrono::system_clock::now();
    board.context.probeKnown =
        g_deviceHandle.load() != -1 && probelib::LastOpenedProbe(&board.context.probe) != 0;
    board.report = RunDownload(o, dialog);
    board.context.image = g_firmwareImage.Bytes();
    board.context.lost = probelib::WriteFailure();
    return board;
}

// flash and verify: one board, or with --repeat one after another, each with
// its record. --repeat's status is the loop's; a record that could not be
// written fails a board that went well.
CommandResult RunBoards(const Options& o, controls::HeadlessDialog& dialog, RecordFile* record) {
    if (o.line.repeat) {
        RepeatRun run;
        run.limit = o.line.boards;
        run.runBoard = [&o, &dialog] { return RunBoard(o, dialog); };
        run.context = BaseContext(o);
        run.report = record;
        return {{}, RunBoardAfterBoard(run)};
    }
    BoardRun board = RunBoard(o, dialog);
    CommandResult result = {board.report, StatusOf(board.report)};
    std::string error;
    if (record->IsOpen() && !record->Append(BoardRecord(board.report, board.context), &error)) {
        std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
        result.status = kExitFailed;
    }
    return result;
}

// The arguments of each child of --probe=all after its own: this command
// line's options (but --probe, --trace and --report), the command, and the
// file converted here.
std::vector<std::string> ChildArguments(const Options& o, const std::string& binary) {
    std::vector<std::string> a = {o.common.useChinese ? "--lang=zh" : "--lang=en"};
    if (o.common.simulate)
        a.push_back(o.common.simFaults.empty() ? "--simulate" : "--simulate=" + o.common.simFaults);
    if (!o.common.simState.empty()) a.push_back("--sim-state=" + o.common.simState);
    for (const probelib::UsbId& id : o.common.usbIds)
        a.push_back("--usb-id=" + probelib::FormatUsbId(id));
    if (o.quiet) a.push_back("--quiet");
    if (o.addressIndex == 1) a.push_back("--address=0x20000000");
    // The erase is always said: the child's own default depends on the address.
    const std::pair<bool, const char*> flags[] = {
        {o.erase, "--erase"},       {!o.erase, "--no-erase"}, {!o.programme, "--no-programme"},
        {!o.verify, "--no-verify"}, {!o.reset, "--no-reset"}, {o.ifChanged, "--if-changed"}};
    for (const auto& [given, flag] : flags)
        if (given && o.command == "flash") a.push_back(flag);
    if (o.dryRun) a.push_back("--dry-run");
    a.insert(a.end(), {o.command, "--", binary});
    return a;
}

}  // namespace

void InitialiseDialog(controls::HeadlessDialog& dialog) {
    dialog.SetHandler(IDC_OPEN_DEVICE, OnOpenCloseDevice);
    dialog.SetText(IDC_OPEN_DEVICE, Tr("打开设备", "Open Device"));
    dialog.ShowBitmap(IDC_STATUS_BITMAP, IDB_BANNER_BLANK);
}

int ListCommand(const Options& o) {
    std::vector<probelib::ProbeInfo> probes;
    int status = kExitFailed;
    if (!ListAttached(o, &probes, &status)) return status;
    if (probes.empty()) {
        std::fprintf(stderr, "vornic-cli: %s\n", NoProbeText(o).c_str());
        return kExitFailed;
    }
    std::printf("%-5s  %-10s  %-20s  %s\n", "INDEX", "BUS-PORT", "SERIAL", "USB-ID");
    bool wrongMode = false;
    for (size_t i = 0; i < probes.size(); ++i) {
        const probelib::ProbeInfo& p = probes[i];
        std::printf("%-5zu  %-10s  %-20s  %s%s\n", i, Printable(p.busPort).c_str(),
                    Printable(p.serial).c_str(), probelib::FormatUsbId(p.id).c_str(),
                    p.wrongMode ? "  wrong mode (ARM)" : "");
        wrongMode = wrongMode || p.wrongMode;
    }
    // Many probes leave the factory with one serial: only the bus-port tells them apart.
    for (size_t i = 0; i < probes.size(); ++i) {
        const std::string& serial = probes[i].serial;
        auto same = [&serial](const probelib::ProbeInfo& p) { return p.serial == serial; };
        if (serial.empty() ||
            std::find_if(probes.begin(), probes.end(), same) != probes.begin() + i)
            continue;
        const auto count = std::count_if(probes.begin(), probes.end(), same);
        if (count > 1)
            std::printf(Tr("注意：%td 个下载器的序列号都是 %s，可用 --probe=BUS-PORT 区分\n",
                           "note: %td probes carry the serial %s; --probe=BUS-PORT tells them "
                           "apart\n"),
                        count, Printable(serial).c_str());
    }
    if (wrongMode)
        std::printf(Tr("注意：%s\n", "note: %s\n"),
                    probelib::OpenProblemText(probelib::OpenProblem::WrongMode, {},
                                              g_useChinese.load() != 0)
                        .c_str());
    return kExitOk;
}

// --probe=all: the file is converted once, here, then every attached probe
// gets a child vornic-cli that flashes the .BIN.
int RunOnEveryProbe(const Options& o, RecordFile* record) {
    AllProbesRun run;
    int status = kExitFailed;
    if (!ListAttached(o, &run.probes, &status)) return status;
    if (run.probes.empty()) {
        std::fprintf(stderr, "vornic-cli: %s\n", NoProbeText(o).c_str());
        return kExitFailed;
    }
    // Each child traces to a file of its own beside the one named.
    if (!o.common.trace.empty())
        for (const probelib::ProbeInfo& probe : run.probes)
            if (std::string problem = probelib::TraceTargetProblem(
                    ChildTracePath(o.common.trace, ProbeName(probe, run.probes)),
                    g_useChinese.load() != 0);
                !problem.empty())
                return Usage(problem);
    Report conversion;
    std::string binary;
    {
        controls::HeadlessDialog dialog(controls::HeadlessDialog::UiThread::Creator);
        dialog.SetAppendObserver([](int id, std::string_view text) {
            if (id == IDC_OUTPUT) PrintPaneText(text);
        });
        controls::SetMainDialog(&dialog);
        conversion.Add(Step::Convert, ConvertHexToBin(o.file, binary, &conversion.detail));
        // The children get the .BIN, which no longer says where an ELF or
        // HEX was linked: the image is checked here, before any child starts.
        if (conversion.Ok() && (o.command == "verify" || o.programme || o.verify))
            conversion.Add(o.command == "flash" && o.programme ? Step::Programme : Step::Verify,
                           PreflightImage(o.addressIndex));
        dialog.Shutdown();
        controls::SetMainDialog(nullptr);
    }
    if (!conversion.Ok()) {
        if (!o.quiet) PrintSummary(o, conversion, true);
        return kExitFailed;
    }
    run.arguments = ChildArguments(o, binary);
    run.trace = o.common.trace;
    run.context = BaseContext(o);
    run.context.image = g_firmwareImage.Bytes();
    run.report = record;
    return RunOnAllProbes(run);
}

CommandResult RunCommand(const Options& o, controls::HeadlessDialog& dialog, RecordFile* record) {
    Report report;
    if (o.command == "convert") {
        std::string outputName;
        report.Add(Step::Convert, ConvertHexToBin(o.file, outputName, &report.detail));
        // A raw image is taken as it is: nothing was written, and no log line said so.
        if (report.Ok() && outputName == o.file && !o.quiet)
            std::printf(
                Tr("vornic-cli: %s 已是二进制映像（%u 字节），未写入文件\n",
                   "vornic-cli: %s is already a binary image (%u bytes); nothing written\n"),
                EscapeControls(o.file).c_str(), g_firmwareImage.length);
        return {report, StatusOf(report)};
    }
    StartUpProbeLink();
    if (g_deviceHandle.load() == -1 && !o.common.simulate) {
        probelib::OpenProblem problem = probelib::LastOpenProblem();
        if (problem != probelib::OpenProblem::None)
            std::fprintf(stderr, "vornic-cli: %s\n",
                         probelib::OpenProblemText(problem, probelib::ShippedRuleFile(),
                                                   g_useChinese.load() != 0)
                             .c_str());
    }
    if (o.command == "flash" || o.command == "verify") return RunBoards(o, dialog, record);
    if (o.command == "erase") report = EraseCommand(o);
    if (o.command == "reset") {
        Outcome reset;
        dialog.Invoke([&reset] { reset = ResetCommand(); });
        report.Add(Step::Reset, reset);
    }
    if (o.command == "erase" || o.command == "reset") return {report, StatusOf(report)};
    Report (*handler)() = o.command == "status"    ? OnCheckStatus
                          : o.command == "protect" ? OnEnableReadProtect
                                                   : OnDisableReadProtect;
    dialog.Invoke([&report, handler] { report = handler(); });
    if (o.json && report.Ok()) {
        probelib::ProbeInfo probe;
        const bool known = probelib::LastOpenedProbe(&probe) != 0;
        std::printf("%s\n", StatusJson(g_readProtected.load() != 0, known, probe).c_str());
    }
    return {report, StatusOf(report)};
}

// The probe backend the command line asks for; 0 with the exit status when it
// cannot be had.
int SelectBackend(const Options& o, int* status) {
    std::string error;
    const probelib::ConfigureProblem problem =
        probelib::Configure(vornic_options::BackendChoiceOf(o.common), &error);
    if (problem == probelib::ConfigureProblem::None) return 1;
    *status = problem == probelib::ConfigureProblem::Choice ? kExitUsage : kExitFailed;
    if (*status == kExitUsage)
        Usage(error);
    else
        std::fprintf(stderr, "vornic-cli: %s\n", error.c_str());
    return 0;
}

}  // namespace vornic_cli
