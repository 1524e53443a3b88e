// The routing table from the window's buttons and start-up steps to the flash
// code. The one file that knows the handlers' names.
#include "vornic/ui/command_routing.h"

#include <cstdio>
#include <memory>
#include <string>

#include "platform/controls/control_ids.h"
#include "platform/probelib/probelib.h"
#include "platform/probelib/usb/open_problem.h"
#include "vornic/log/language.h"
#include "vornic/log/output_log.h"
#include "vornic/probe/device_commands.h"
#include "vornic/probe/download_job.h"
#include "vornic/probe/probe_link.h"
#include "vornic/ui/open_problem_notice.h"
#include "vornic/ui/vornic_dlg.h"

namespace vornic_ui {

using vornic_probe::DownloadJobRunning;
using vornic_probe::g_deviceHandle;
using vornic_probe::OnCheckStatus;
using vornic_probe::OnDeviceNotify;
using vornic_probe::OnDisableReadProtect;
using vornic_probe::OnEnableReadProtect;
using vornic_probe::OnExecute;
using vornic_probe::OnOpenCloseDevice;
using vornic_probe::OpenProbeAtStartUp;
using vornic_probe::SetDownloadProgress;

int SelectProbeBackend(const CommandLine& commandLine) {
    std::string error;
    const probelib::ConfigureProblem problem = probelib::Configure(commandLine.backend, &error);
    if (problem == probelib::ConfigureProblem::None) return 1;
    std::fprintf(stderr, "vornic: %s\n", error.c_str());
    // Without USB the window still opens, with no probe.
    return problem == probelib::ConfigureProblem::NoUsb ? 1 : 0;
}

namespace {
// The outcome of an open attempt: a failure that the user can fix (permissions,
// the probe's mode, another program) is explained on standard error and in a
// message box; the log keeps its own lines.
void ExplainOpenOutcome(OpenProblemNotice& notice) {
    probelib::OpenProblem problem =
        g_deviceHandle.load() != -1 ? probelib::OpenProblem::None : probelib::LastOpenProblem();
    if (problem != probelib::OpenProblem::None && problem != probelib::OpenProblem::NotFound)
        std::fprintf(stderr, "vornic: %s\n",
                     probelib::OpenProblemText(problem, probelib::ShippedRuleFile(),
                                               g_useChinese.load() != 0)
                         .c_str());
    notice.Report(problem);
}
}  // namespace

void InstallCommandRouting(CVornicDlg& dialog) {
    dialog.SetHandler(IDC_CLEAR_OUTPUT, [] { ClearOutput(); });
    // The start-up open and every arrival's open (a click of the hidden open
    // button) end here, on the user-interface thread.
    auto notice = std::make_shared<OpenProblemNotice>(&dialog);
    dialog.SetHandler(IDC_OPEN_DEVICE, [notice] {
        OnOpenCloseDevice();
        ExplainOpenOutcome(*notice);
    });
    dialog.SetHandler(IDC_CHECK_STATUS, [] { OnCheckStatus(); });
    dialog.SetHandler(IDC_DISABLE_PROTECT, [] { OnDisableReadProtect(); });
    dialog.SetHandler(IDC_ENABLE_PROTECT, [] { OnEnableReadProtect(); });
    dialog.SetHandler(IDC_EXECUTE, [] { OnExecute(); });

    // The thin bar under the banner follows the data phase of a job.
    auto progress = dialog.ProgressSink();
    SetDownloadProgress([progress](uint32_t done, uint32_t total) { progress(done, total); });

    DialogHooks& hooks = dialog.Hooks();
    hooks.registerDeviceNotify = [] { CH375SetDeviceNotify(0, nullptr, OnDeviceNotify); };
    // The dialog has already written the link text and registered the routine.
    hooks.startUpProbeLink = [notice] {
        OpenProbeAtStartUp();
        ExplainOpenOutcome(*notice);
    };
    hooks.jobRunning = [] { return DownloadJobRunning(); };
}

}  // namespace vornic_ui
