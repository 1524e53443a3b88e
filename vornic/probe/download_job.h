// The download job: the conversion of the chosen file, then the device check
// and the chosen steps. The window starts it with the Execute button and runs
// the steps on a worker; vornic-cli runs it whole on its own thread. Either
// way the job asks its inputs for each box when its step is reached.
#pragma once

#include "vornic/outcome/outcome.h"
#include "vornic/probe/job_inputs.h"
#include "vornic/probe/probe_session.h"
#include "vornic/probe/programme_verify.h"

namespace vornic_probe {

// Handler of IDC_EXECUTE (user-interface thread): a job whose inputs are the
// main dialog's controls (ControlInputs), its steps on a worker thread.
// Refused with the busy message while a job or a device command holds the
// probe session.
void OnExecute();

struct JobSettings {
    // Progress of the data phase (bytes sent, run length) on the job's
    // thread; no log line; (0, 0) once the job has ended.
    ProgressCallback progress;
    // Stop after the read-protect query: the conversion, the checks of the
    // image and the device's status, and nothing sent that changes the target.
    bool dryRun = false;
    // False: no conversion, the steps alone (an erase needs no file).
    bool convert = true;
};

// The whole job on the calling thread, which must not be the user-interface
// thread of the dialog it logs to; its report. Refused as OnExecute is, with
// one failed Status step. DownloadJobRunning holds from the conversion's end
// until it returns.
Report RunDownloadJob(JobInputs& inputs, const JobSettings& settings = {});

// True from a started job's conversion until its steps have ended.
bool DownloadJobRunning();

// Waits until no job runs. Must not be called on the user-interface thread
// while a job needs it (the worker waits for the dialog). Returns at once
// when no job runs.
void WaitForDownloadJob();

// Report of the last job that ended: the conversion, then every step the
// worker ran (Status covers the device check and the read-protect query), with
// the bytes sent, the image size and the time from Execute to the end. A job
// refused because the probe was busy has one failed Status step. Empty before
// any job.
Report LastDownloadJob();

// Progress of the data phase of the window's job (bytes sent, run length),
// called on the worker thread; no log line; (0, 0) once the job has ended.
// Set before Execute.
void SetDownloadProgress(ProgressCallback progress);

}  // namespace vornic_probe
