// vornic-cli's entry: parses the command line, runs the command asked for
// with the headless dialog as its log pane, and prints the summary of the
// report the command returns beside its exit status.
#include "vornic/cli/cli.h"

#include <cstdio>
#include <string>

#include "platform/controls/control_ids.h"
#include "platform/controls/controls.h"
#include "platform/controls/headless_dialog.h"
#include "platform/probelib/lifetime.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/sim/faults.h"
#include "vornic/cli/board_record.h"
#include "vornic/cli/cli_commands.h"
#include "vornic/cli/cli_parse.h"
#include "vornic/cli/cli_print.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/options/options.h"

namespace vornic_cli {

int RunCli(std::span<const std::string_view> args) {
    Options o;
    std::string complaint = Parse(args, &o);
    if (!complaint.empty()) return Usage(complaint);
    if (o.common.help) {
        std::fputs(HelpText(o.helpFor).c_str(), stdout);
        return kExitOk;
    }
    if (o.helpFaults) {
        std::fputs(probelib::sim::FaultsHelpText().c_str(), stdout);
        return kExitOk;
    }
    if (o.common.version) {
        std::printf("%s\n", vornic_options::VersionText("vornic-cli").c_str());
        return kExitOk;
    }
    g_useChinese = o.common.useChinese ? 1 : 0;
    g_debugOutput = false;
    if (o.command == "list") return ListCommand(o);
    // The record and the trace are refused before any board is touched.
    RecordFile record;
    std::string error;
    if (!o.line.report.empty() && !record.Open(o.line.report, &error)) return Usage(error);
    if (o.line.recordFd >= 0) record.Adopt(o.line.recordFd);
    if (!o.common.trace.empty() && !o.line.allProbes)
        if (std::string problem =
                probelib::TraceTargetProblem(o.common.trace, g_useChinese.load() != 0);
            !problem.empty())
            return Usage(problem);
    if (o.line.allProbes) return RunOnEveryProbe(o, &record);
    // A conversion needs neither the probe library nor a thread of the dialog's own.
    const bool convert = o.command == "convert";
    if (!convert) {
        int status = kExitFailed;
        if (!SelectBackend(o, &status)) return status;
    }

    CommandResult result;
    {
        using controls::HeadlessDialog;
        HeadlessDialog dialog(convert ? HeadlessDialog::UiThread::Creator
                                      : HeadlessDialog::UiThread::Own);
        // With --json standard output holds the object alone; the log goes to standard error.
        dialog.SetAppendObserver([json = o.json](int id, std::string_view text) {
            if (id == IDC_OUTPUT) PrintPaneText(text, json ? stderr : stdout);
        });
        InitialiseDialog(dialog);
        controls::SetMainDialog(&dialog);
        result = RunCommand(o, dialog, &record);
        // A probe removed during the command is logged as the window logs it.
        if (!convert) probelib::WaitForNotifications();
        dialog.Shutdown();
        if (!convert) probelib::Shutdown();
        controls::SetMainDialog(nullptr);
    }
    if (!o.quiet && !o.line.repeat)
        PrintSummary(o, result.report, o.command == "flash" || o.command == "verify");
    int status = result.status;
    // A trace with lines missing, or a simulated target whose state the next
    // run will not find, fails a run that went well otherwise.
    if (const std::string lost = convert ? "" : probelib::WriteFailure(); !lost.empty()) {
        std::fprintf(stderr, "vornic-cli: %s\n", lost.c_str());
        if (status == kExitOk) status = kExitFailed;
    }
    return status;
}

}  // namespace vornic_cli
