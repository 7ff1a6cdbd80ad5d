#include <array>
#include <cstring>
#include <string>

#include "driver/console_lines.h"
#include "driver/passes.h"
#include "driver/retry.h"
#include "services/text_forms.h"

namespace zuno {

namespace {

// The engine parameters of every run, in the order they are set.
struct EngineParameter {
  int32_t number;
  int32_t value;
};
constexpr std::array<EngineParameter, 5> kEngineParameters = {{
    {10, 500},
    {1, 80000},
    {5, 80000},
    {13, 80000},
    {3, 80000},
}};

constexpr int32_t kListBufferSize = 2048;
constexpr int32_t kListKindExistence = 3;
constexpr int32_t kBinaryMode = 'B';

}  // namespace

Flow DownloadPass(SyncServices& services, RunState& run) {
  Console& console = services.console;
  FtpEngine& engine = services.engine;
  ConfigEntries& config = run.config;

  const int16_t attached = EngineResult(engine.fceAttach(1));
  if (attached < 0) {
    PrintLine(console, {"Cannot attach FCE" + NumberText(attached)});
    PauseForKey(console);
    return Flow::kEndRun;
  }
  for (const EngineParameter& parameter : kEngineParameters) {
    engine.fceSetInteger(kChannel, parameter.number, parameter.value);
  }

  const RetriedStep set_local_dir{
      .shape = RetryShape::kPollFirst,
      .attempt = [&] { return engine.fceSetLocalDir(kChannel, config.LocalDir()); },
      .failure_line = [] { return std::string("Error setting local Directory - retrying..."); },
      .engine_error_line = false,
  };
  // A failed connect goes back to setting the local directory.
  const RetriedStep connect{
      .retry_point =
          [&] {
            if (!RunRetriedStep(services, set_local_dir)) return Flow::kEndRun;
            PrintLine(console,
                      {"Connecting to ", config.ServerHost(), " as user '", config.UserName(), "' ..."});
            return Flow::kGoOn;
          },
      .attempt =
          [&] {
            return engine.fceConnect(kChannel, config.ServerHost(), config.UserName(),
                                     config.Password());
          },
      .failure_line = [&] { return "Error connecting to " + config.ServerHost() + " Retrying..."; },
  };
  if (!RunRetriedStep(services, connect)) return Flow::kEndRun;

  const RetriedStep set_server_dir{
      .attempt = [&] { return engine.fceSetServerDir(kChannel, config.ServerDir()); },
      .failure_line = [] { return std::string("Error setting remote directory - Retrying..."); },
  };
  if (!RunRetriedStep(services, set_server_dir)) return Flow::kEndRun;

  std::array<char, kListBufferSize> list_buffer{};
  const RetriedStep existence_check{
      .attempt =
          [&] {
            list_buffer.fill('\0');
            config.ServerFile().copy(list_buffer.data(), list_buffer.size() - 1);
            return engine.fceGetList(kChannel, kListKindExistence, list_buffer.data(),
                                     kListBufferSize);
          },
      .failure_line = [&] { return "Error checking for " + config.ServerFile() + " Retrying..."; },
  };
  const std::optional<int16_t> found = RunRetriedStep(services, existence_check);
  if (!found) return Flow::kEndRun;

  if (*found == 0) {
    run.download_ok = 0;
    PrintLine(console, {"Remote file ", config.ServerFile(),
                        " not found, will use local copy (if any)"});
    PauseForKey(console);
  } else {
    const RetriedStep binary_mode{
        .attempt = [&] { return engine.fceSetMode(kChannel, kBinaryMode); },
        .failure_line = [] { return std::string("Error setting binary mode - Retrying..."); },
    };
    if (!RunRetriedStep(services, binary_mode)) return Flow::kEndRun;

    // Both names go to the engine whole: a shortened local name would store the
    // download under another file than the one the browser reads.
    const std::string transfer_text = config.ServerFile() + ":" + config.LocalFile();
    const RetriedStep download{
        .retry_point =
            [&] {
              PrintLine(console, {"Downloading ", config.ServerFile()});
              return Flow::kGoOn;
            },
        .attempt = [&] { return engine.fceGetFile(kChannel, transfer_text); },
        .failure_line = [] { return std::string("Error downloading - Retrying..."); },
    };
    if (!RunRetriedStep(services, download)) return Flow::kEndRun;
  }

  const RetriedStep close{
      .shape = RetryShape::kNoPause,
      .attempt = [&] { return engine.fceClose(kChannel); },
      .failure_line =
          [] { return std::string("Error closing connection to server - Retrying..."); },
  };
  if (!RunRetriedStep(services, close)) return Flow::kEndRun;
  return Flow::kGoOn;
}

}  // namespace zuno
