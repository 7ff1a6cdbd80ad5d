#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "driver/sync_services.h"
#include "engine/ftp_engine.h"
#include "services/clock.h"
#include "services/console.h"
#include "services/files.h"
#include "services/programs.h"

namespace zuno::testing {

// One ordered record of everything the driver does through its seams, so a test can
// pin the exact order of lines, pauses, key polls, engine calls and program runs.
// Console lines are recorded as their text; every other event in brackets.
class Transcript {
 public:
  void Add(std::string event) { events_.push_back(std::move(event)); }
  const std::vector<std::string>& events() const { return events_; }
  // The console lines alone.
  std::vector<std::string> Lines() const;
  // The events that begin with the prefix (e.g. "[fce" for the engine calls).
  std::vector<std::string> Matching(std::string_view prefix) const;

 private:
  std::vector<std::string> events_;
};

// Readable names for key values in transcripts: "y", "<13>", "<0,59>".
std::string KeyName(const KeyValue& key);

// A console that records lines and is fed keys. Keys wait in a queue until a poll or
// key wait takes them, as typed-ahead keys do.
class FakeConsole final : public Console {
 public:
  explicit FakeConsole(Transcript& transcript) : transcript_(transcript) {}

  void QueueKey(KeyValue key) { keys_.push_back(std::move(key)); }
  size_t KeysLeft() const { return keys_.size(); }

  void PrintText(std::string_view text) override { pending_ += text; }
  void EndLine() override;
  // Records "[poll]" (no key) or "[poll KEY]".
  KeyValue PollKey() override;
  // Not recorded: it takes nothing.
  bool KeyWaiting() override { return !keys_.empty(); }
  // Records "[wait key KEY]"; with no key queued, records "[wait key none]" and gives a
  // value that is neither y nor Y, as a console without a keyboard does.
  KeyValue WaitKey() override;

 private:
  static constexpr int kMaxEmptyPolls = 1000;

  Transcript& transcript_;
  std::string pending_;
  std::deque<KeyValue> keys_;
  int empty_polls_ = 0;
};

// A clock that records pauses instead of sleeping.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(Transcript& transcript) : transcript_(transcript) {}
  // Called during each pause with its number (0 for the first); e.g. to queue a key.
  std::function<void(int pause_number, uint32_t milliseconds)> during_pause;

  void Pause(uint32_t milliseconds) override;
  int pauses() const { return pauses_; }

 private:
  Transcript& transcript_;
  int pauses_ = 0;
};

// Local files held in memory, by path.
class FakeFiles final : public FileService {
 public:
  explicit FakeFiles(Transcript& transcript) : transcript_(transcript) {}

  std::map<std::string, std::string> files;
  // Paths that FindFile sees but that cannot be opened.
  std::set<std::string> unreadable;
  // Copies that fail, one per entry, with that reason, before copies work again.
  std::deque<std::string> copy_failures;

  std::string FindFile(const std::string& path) override;
  std::unique_ptr<TextReader> OpenTextFile(const std::string& path) override;
  // Records "[copy SOURCE -> TARGET]".
  CopyStatus CopyLocalFile(const std::string& source, const std::string& target) override;

 private:
  Transcript& transcript_;
};

// Records "[run COMMAND show=N wait]" and runs an optional stand-in for the program.
class FakePrograms final : public ProgramRunner {
 public:
  explicit FakePrograms(Transcript& transcript) : transcript_(transcript) {}
  std::function<void(const std::string& command_line)> program;

  void RunProgram(const std::string& command_line, int show_window, bool wait) override;

 private:
  Transcript& transcript_;
};

// An engine that records each call, with its arguments, as "[fceName arg, arg]" and
// gives scripted results: for each operation a queue of results used one per call,
// then the default (0, and 1 for the existence check).
class FakeEngine final : public FtpEngine {
 public:
  explicit FakeEngine(Transcript& transcript) : transcript_(transcript) {}

  // The next results of an operation, e.g. Script("fceConnect", {-7, -7}).
  void Script(const std::string& operation, std::vector<int32_t> results);
  // The engine's text for a code.
  std::map<int32_t, std::string> error_texts;
  // Called after each call is recorded (e.g. to queue a key during an attempt).
  std::function<void(const std::string& operation)> on_call;
  // The name that fcePutConflictCopy gives.
  std::string conflict_name = "bookmarks-shared.conflict-host-20261211T093000Z.html";

  int32_t fceAttach(int32_t channels) override;
  int32_t fceSetInteger(int32_t channel, int32_t parameter, int32_t value) override;
  int32_t fceSetLocalDir(int32_t channel, const std::string& directory) override;
  int32_t fceConnect(int32_t channel, const std::string& host, const std::string& user,
                     const std::string& password) override;
  int32_t fceSetServerDir(int32_t channel, const std::string& directory) override;
  int32_t fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) override;
  int32_t fceSetMode(int32_t channel, int32_t mode) override;
  int32_t fceGetFile(int32_t channel, const std::string& transfer_text) override;
  int32_t fceDelFile(int32_t channel, const std::string& name) override;
  int32_t fcePutFile(int32_t channel, const std::string& name) override;
  int32_t fceCheckServerCopy(int32_t channel, const std::string& name) override;
  int32_t fcePutConflictCopy(int32_t channel, const std::string& name, char* conflict_name,
                             int32_t size) override;
  int32_t fceClose(int32_t channel) override;
  int32_t fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) override;
  int32_t fceRelease() override;

 private:
  int32_t Record(const std::string& operation, const std::vector<std::string>& arguments,
                 int32_t default_result = 0);

  Transcript& transcript_;
  std::map<std::string, std::deque<int32_t>> results_;
};

// The whole set of fakes, wired into the driver's services.
struct FakeWorld {
  Transcript transcript;
  FakeConsole console{transcript};
  FakeClock clock{transcript};
  FakeFiles files{transcript};
  FakePrograms programs{transcript};
  FakeEngine engine{transcript};
  SyncServices services{console, clock, files, programs, engine};
};

}  // namespace zuno::testing
