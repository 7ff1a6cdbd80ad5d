#pragma once

#include "driver/run_state.h"
#include "driver/sync_services.h"

namespace zuno {

// Attaches the engine, logs in and fetches the server's copy of the bookmark file
// into the local directory, or finds that the server has none (download_ok becomes
// 0); closes the connection. The engine stays attached for the upload pass.
Flow DownloadPass(SyncServices& services, RunState& run);

// Runs the browser and waits until it has ended, then for the browser's last write;
// asks whether to upload when the download found nothing, and ends the run when the
// answer is not y or Y.
Flow BrowserRun(SyncServices& services, RunState& run);

// Makes the staging copy of the browser's file, logs in again, replaces the server's
// copy with it, closes the connection and releases the engine.
void UploadPass(SyncServices& services, RunState& run);

}  // namespace zuno
