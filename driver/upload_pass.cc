#include <array>
#include <string>

#include "driver/console_lines.h"
#include "driver/passes.h"
#include "driver/retry.h"
#include "services/path_separator.h"
#include "services/text_forms.h"

namespace zuno {

namespace {

constexpr char kSeparator = kPathSeparator;
constexpr int32_t kBinaryMode = 'B';

// What the check of the server copy found (fceCheckServerCopy).
constexpr int16_t kServerCopyChanged = 1;
constexpr int16_t kLocalCopyEmpty = 2;
// What the upload reports when it could not keep the replaced copy in the history.
constexpr int16_t kNoHistoryKept = 1;

// A plain step of the upload pass: the standard shape, retried at its own attempt.
RetriedStep EngineStep(std::function<int32_t()> attempt, std::string failure_line) {
  return RetriedStep{
      .attempt = std::move(attempt),
      .failure_line = [line = std::move(failure_line)] { return line; },
  };
}

// The server copy stays; this machine's copy goes beside it under a name of its own,
// which the last line gives, so that the user can import it and sync again.
void UploadConflictCopy(SyncServices& services, RunState& run) {
  Console& console = services.console;
  FtpEngine& engine = services.engine;
  ConfigEntries& config = run.config;
  std::array<char, 512> conflict_name{};
  RetriedStep upload = EngineStep(
      [&] {
        conflict_name.fill('\0');
        return engine.fcePutConflictCopy(kChannel, config.ServerFile(), conflict_name.data(),
                                         static_cast<int32_t>(conflict_name.size()));
      },
      "Error uploading to server - Retrying...");
  upload.retry_point = [&] {
    PrintLine(console, {"Uploading ", config.ServerFile(), " as a conflict copy"});
    return Flow::kGoOn;
  };
  if (!RunRetriedStep(services, upload)) return;
  if (!RunRetriedStep(services, EngineStep([&] { return engine.fceClose(kChannel); },
                                           "Error closing connection to server - Retrying..."))) {
    return;
  }
  engine.fceRelease();
  PrintLine(console, {"Server copy kept; this machine's copy is on the server as ",
                      conflict_name.data(), " - import it in the browser and sync again"});
}

}  // namespace

void UploadPass(SyncServices& services, RunState& run) {
  Console& console = services.console;
  FtpEngine& engine = services.engine;
  ConfigEntries& config = run.config;

  // The engine gets the local directory as configured, without the separator added below.
  if (!RunRetriedStep(services,
                      EngineStep([&] { return engine.fceSetLocalDir(kChannel, config.LocalDir()); },
                                 "Error setting local directory - Retrying..."))) {
    return;
  }

  std::string& local_dir = config.LocalDir();
  if (local_dir.empty() || local_dir.back() != kSeparator) local_dir += kSeparator;
  // Whole paths: a shortened one would copy another file, or stage the copy under
  // another name, and the upload would then send something other than the bookmarks.
  const std::string local_file_path = local_dir + config.LocalFile();
  const std::string staging_file_path = local_dir + config.ServerFile();

  // The upload sends whatever stands under the staging name, so it must never go
  // ahead when the copy of the browser's file failed.
  std::string copy_failure;
  const RetriedStep staging_copy{
      .attempt =
          [&] {
            const CopyStatus status =
                services.files.CopyLocalFile(local_file_path, staging_file_path);
            copy_failure = status.reason;
            return status.ok ? 0 : -1;
          },
      .failure_line =
          [&] {
            return "Error copying " + local_file_path + " (" + copy_failure + ") - Retrying...";
          },
      .engine_error_line = false,
  };
  if (!RunRetriedStep(services, staging_copy)) return;

  RetriedStep connect = EngineStep(
      [&] {
        return engine.fceConnect(kChannel, config.ServerHost(), config.UserName(),
                                 config.Password());
      },
      "Error connecting to server - Retrying...");
  connect.retry_point = [&] {
    PrintLine(console,
              {"Connecting to ", config.ServerHost(), " as user '", config.UserName(), "' ..."});
    return Flow::kGoOn;
  };
  if (!RunRetriedStep(services, connect)) return;

  if (!RunRetriedStep(
          services, EngineStep([&] { return engine.fceSetServerDir(kChannel, config.ServerDir()); },
                               "Error setting remote directory - Retrying...")) ||
      !RunRetriedStep(services, EngineStep([&] { return engine.fceSetMode(kChannel, kBinaryMode); },
                                           "Error setting binary mode - Retrying..."))) {
    return;
  }

  // Another machine may have uploaded since this run downloaded; its copy is never
  // replaced without asking, and this one is never lost either way.
  const std::optional<int16_t> checked = RunRetriedStep(
      services, EngineStep([&] { return engine.fceCheckServerCopy(kChannel, config.ServerFile()); },
                           "Error checking for " + config.ServerFile() + " Retrying..."));
  if (!checked) return;
  bool replace = true;
  if (*checked == kServerCopyChanged) {
    PrintLine(console, {"Server copy of ", config.ServerFile(),
                        " was uploaded by another machine since the download"});
    PrintLine(console, {"Server copy of ", config.ServerFile(),
                        " changed since the download - replace it (Y/N)?"});
    replace = UpperText(console.WaitKey()) == "Y";
  } else if (*checked == kLocalCopyEmpty) {
    PrintLine(console, {config.LocalFile(), " is empty, the server copy of ", config.ServerFile(),
                        " is not"});
    PrintLine(console,
              {"Replace the server copy of ", config.ServerFile(), " with the empty file (Y/N)?"});
    replace = UpperText(console.WaitKey()) == "Y";
  }
  if (!replace) {
    UploadConflictCopy(services, run);
    return;
  }

  if (!RunRetriedStep(services,
                      EngineStep([&] { return engine.fceDelFile(kChannel, config.ServerFile()); },
                                 "Error deleting server file - Retrying..."))) {
    return;
  }

  RetriedStep upload = EngineStep([&] { return engine.fcePutFile(kChannel, config.ServerFile()); },
                                  "Error uploading to server - Retrying...");
  upload.retry_point = [&] {
    PrintLine(console, {"Uploading ", config.ServerFile()});
    return Flow::kGoOn;
  };
  const std::optional<int16_t> uploaded = RunRetriedStep(services, upload);
  if (!uploaded) return;
  if (*uploaded == kNoHistoryKept) {
    PrintLine(console, {"The server keeps no zuno-history directory: the replaced copy of ",
                        config.ServerFile(), " was not kept"});
  }

  if (!RunRetriedStep(services, EngineStep([&] { return engine.fceClose(kChannel); },
                                           "Error closing connection to server - Retrying..."))) {
    return;
  }
  engine.fceRelease();
}

}  // namespace zuno
