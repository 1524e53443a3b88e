// The routing table from the window's buttons and start-up steps to the flash
// code. The one file that knows the handlers' names.
#include "command_routing.h"

#include "control_ids.h"
#include "output_log.h"
#include "vornic_dlg.h"

// Handlers of the probe link, device commands and download job, to be wired here:
//   vornic/probe/probe_link.h      OnOpenCloseDevice(), OnDeviceNotify(uint32_t),
//   StartUpProbeLink() vornic/probe/device_commands.h OnCheckStatus(), OnDisableReadProtect(),
//   OnEnableReadProtect() vornic/probe/download_job.h    OnExecute(), and whether a job is running

namespace vornic_ui {

int SelectProbeBackend(const CommandLine& commandLine) {
    // PROBE BACKEND SELECTION: the single place where platform/probelib is told
    // which backend to use (commandLine.simulate, simFaults, simState).
    (void)commandLine;
    return 1;
}

void InstallCommandRouting(CVornicDlg& dialog) {
    dialog.SetHandler(IDC_CLEAR_OUTPUT, [] { ClearOutput(); });

    // dialog.SetHandler(IDC_OPEN_DEVICE, [] { OnOpenCloseDevice(); });
    // dialog.SetHandler(IDC_CHECK_STATUS, [] { OnCheckStatus(); });
    // dialog.SetHandler(IDC_DISABLE_PROTECT, [] { OnDisableReadProtect(); });
    // dialog.SetHandler(IDC_ENABLE_PROTECT, [] { OnEnableReadProtect(); });
    // dialog.SetHandler(IDC_EXECUTE, [] { OnExecute(); });

    DialogHooks& hooks = dialog.Hooks();
    (void)hooks;
    // hooks.registerDeviceNotify = [] { CH375SetDeviceNotify(0, nullptr, OnDeviceNotify); };
    // hooks.startUpProbeLink = [] { StartUpProbeLink(); };
    // hooks.jobRunning = [] { return <a download job is running>; };
}

}  // namespace vornic_ui
