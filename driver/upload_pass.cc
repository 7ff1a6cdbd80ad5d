#include <string>

#include "driver/console_lines.h"
#include "driver/passes.h"
#include "driver/retry.h"
#include "services/path_separator.h"

namespace zuno {

namespace {

constexpr char kSeparator = kPathSeparator;
constexpr int32_t kBinaryMode = 'B';

// A plain step of the upload pass: the standard shape, retried at its own attempt.
RetriedStep EngineStep(std::function<int32_t()> attempt, std::string failure_line) {
  return RetriedStep{
      .attempt = std::move(attempt),
      .failure_line = [line = std::move(failure_line)] { return line; },
  };
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
                                           "Error setting binary mode - Retrying...")) ||
      !RunRetriedStep(services,
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
  if (!RunRetriedStep(services, upload)) return;

  if (!RunRetriedStep(services, EngineStep([&] { return engine.fceClose(kChannel); },
                                           "Error closing connection to server - Retrying..."))) {
    return;
  }
  engine.fceRelease();
}

}  // namespace zuno
