// The download job behind the Execute button: the conversion of the chosen
// file, then a worker thread that checks the probe and runs the ticked steps.
#pragma once

#include "vornic/probe/outcome.h"
#include "vornic/probe/probe_session.h"
#include "vornic/probe/programme_verify.h"

// Handler of IDC_EXECUTE (user-interface thread). Refused with the busy
// message while a job or a device command holds the probe session.
void OnExecute();

// The job's thread procedure; holds `session` until it returns. Returns 0.
unsigned DownloadWorker(ProbeSession session);

// True from a started job's Execute until its worker has returned.
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

// Progress of the data phase of the running job (bytes sent, run length),
// called on the worker thread; no log line; (0, 0) once the job has ended.
// Set before Execute.
void SetDownloadProgress(ProgressCallback progress);

// With true, the next jobs stop after the read-protect query: the conversion,
// the checks of the image and the device's status, and nothing sent that
// changes the target. Set before Execute.
void SetDownloadDryRun(bool dryRun);

// The checks of the image before a programme or verify step: an image there,
// an address chosen (IDC_ADDRESS index), and the image fitting and placed at
// that start address (CheckStartAddress). Each refusal logs one line.
Outcome PreflightImage(int addressIndex);
