#include "tests/support/fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "services/line_reader.h"

namespace zuno::testing {

namespace {

std::string Join(const std::vector<std::string>& pieces) {
  std::string text;
  for (const std::string& piece : pieces) {
    if (!text.empty()) text += ", ";
    text += piece;
  }
  return text;
}

// An in-memory file for the real line reader.
class MemorySource final : public BlockSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  int64_t ReadBlock(uint64_t offset, char* buffer, size_t size) override {
    if (offset >= bytes_.size()) return 0;
    const size_t count = std::min(size, bytes_.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, bytes_.data() + offset, count);
    return static_cast<int64_t>(count);
  }

 private:
  std::string bytes_;
};

}  // namespace

std::vector<std::string> Transcript::Lines() const {
  std::vector<std::string> lines;
  for (const std::string& event : events_) {
    if (event.empty() || event.front() != '[') lines.push_back(event);
  }
  return lines;
}

std::vector<std::string> Transcript::Matching(std::string_view prefix) const {
  std::vector<std::string> matching;
  for (const std::string& event : events_) {
    if (event.starts_with(prefix)) matching.push_back(event);
  }
  return matching;
}

std::string KeyName(const KeyValue& key) {
  if (key.size() == 1 && key[0] > ' ' && key[0] < 127) return key;
  std::string name = "<";
  for (size_t i = 0; i < key.size(); ++i) {
    if (i > 0) name += ',';
    name += std::to_string(static_cast<unsigned char>(key[i]));
  }
  return name + ">";
}

void FakeConsole::EndLine() {
  transcript_.Add(pending_);
  pending_.clear();
}

KeyValue FakeConsole::PollKey() {
  if (keys_.empty()) {
    // A step that fails forever would loop forever here: end it as a user would.
    if (++empty_polls_ > kMaxEmptyPolls) {
      ADD_FAILURE() << "a retry loop went on for " << kMaxEmptyPolls << " tries";
      return "!";
    }
    transcript_.Add("[poll]");
    return {};
  }
  KeyValue key = keys_.front();
  keys_.pop_front();
  transcript_.Add("[poll " + KeyName(key) + "]");
  return key;
}

KeyValue FakeConsole::WaitKey() {
  if (keys_.empty()) {
    transcript_.Add("[wait key none]");
    return KeyValue("\0\0", 2);
  }
  KeyValue key = keys_.front();
  keys_.pop_front();
  transcript_.Add("[wait key " + KeyName(key) + "]");
  return key;
}

void FakeClock::Pause(uint32_t milliseconds) {
  transcript_.Add("[pause " + std::to_string(milliseconds) + "]");
  if (during_pause) during_pause(pauses_, milliseconds);
  ++pauses_;
}

std::string FakeFiles::FindFile(const std::string& path) {
  if (files.count(path) == 0) return {};
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::unique_ptr<TextReader> FakeFiles::OpenTextFile(const std::string& path) {
  const auto it = files.find(path);
  if (it == files.end() || unreadable.count(path) != 0) return nullptr;
  auto reader = std::make_unique<LineReader>(std::make_unique<MemorySource>(it->second));
  if (!reader->Start()) return nullptr;
  return reader;
}

CopyStatus FakeFiles::CopyLocalFile(const std::string& source, const std::string& target) {
  transcript_.Add("[copy " + source + " -> " + target + "]");
  if (!copy_failures.empty()) {
    CopyStatus failed{false, copy_failures.front()};
    copy_failures.pop_front();
    return failed;
  }
  const auto it = files.find(source);
  if (it == files.end()) return {false, "No such file or directory"};
  files[target] = it->second;
  return {};
}

void FakePrograms::RunProgram(const std::string& command_line, int show_window, bool wait) {
  transcript_.Add("[run " + command_line + " show=" + std::to_string(show_window) +
                  (wait ? " wait]" : "]"));
  if (program) program(command_line);
}

void FakeEngine::Script(const std::string& operation, std::vector<int32_t> results) {
  for (const int32_t result : results) results_[operation].push_back(result);
}

int32_t FakeEngine::Record(const std::string& operation, const std::vector<std::string>& arguments,
                           int32_t default_result) {
  transcript_.Add("[" + operation + (arguments.empty() ? "" : " " + Join(arguments)) + "]");
  int32_t result = default_result;
  auto& queue = results_[operation];
  if (!queue.empty()) {
    result = queue.front();
    queue.pop_front();
  }
  if (on_call) on_call(operation);
  return result;
}

int32_t FakeEngine::fceAttach(int32_t channels) {
  return Record("fceAttach", {std::to_string(channels)});
}

int32_t FakeEngine::fceSetInteger(int32_t channel, int32_t parameter, int32_t value) {
  return Record("fceSetInteger",
                {std::to_string(channel), std::to_string(parameter), std::to_string(value)});
}

int32_t FakeEngine::fceSetLocalDir(int32_t channel, const std::string& directory) {
  return Record("fceSetLocalDir", {std::to_string(channel), directory});
}

int32_t FakeEngine::fceConnect(int32_t channel, const std::string& host, const std::string& user,
                               const std::string& password) {
  return Record("fceConnect", {std::to_string(channel), host, user, password});
}

int32_t FakeEngine::fceSetServerDir(int32_t channel, const std::string& directory) {
  return Record("fceSetServerDir", {std::to_string(channel), directory});
}

int32_t FakeEngine::fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) {
  const std::string name(buffer, strnlen(buffer, static_cast<size_t>(size)));
  return Record("fceGetList",
                {std::to_string(channel), std::to_string(kind), name, std::to_string(size)}, 1);
}

int32_t FakeEngine::fceSetMode(int32_t channel, int32_t mode) {
  return Record("fceSetMode", {std::to_string(channel), std::to_string(mode)});
}

int32_t FakeEngine::fceGetFile(int32_t channel, const std::string& transfer_text) {
  return Record("fceGetFile", {std::to_string(channel), transfer_text});
}

int32_t FakeEngine::fceDelFile(int32_t channel, const std::string& name) {
  return Record("fceDelFile", {std::to_string(channel), name});
}

int32_t FakeEngine::fcePutFile(int32_t channel, const std::string& name) {
  return Record("fcePutFile", {std::to_string(channel), name});
}

int32_t FakeEngine::fceCheckServerCopy(int32_t channel, const std::string& name) {
  return Record("fceCheckServerCopy", {std::to_string(channel), name});
}

int32_t FakeEngine::fcePutConflictCopy(int32_t channel, const std::string& name, char* buffer,
                                       int32_t size) {
  const int32_t result =
      Record("fcePutConflictCopy", {std::to_string(channel), name, std::to_string(size)});
  if (result >= 0 && size > 0) {
    const size_t count = std::min(conflict_name.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, conflict_name.data(), count);
    buffer[count] = '\0';
  }
  return result;
}

int32_t FakeEngine::fceClose(int32_t channel) {
  return Record("fceClose", {std::to_string(channel)});
}

int32_t FakeEngine::fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) {
  Record("fceErrorText", {std::to_string(channel), std::to_string(code), std::to_string(size)});
  const auto it = error_texts.find(code);
  const std::string text = it == error_texts.end() ? "" : it->second;
  if (size > 0) {
    const size_t count = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text.data(), count);
    buffer[count] = '\0';
  }
  return 0;
}

int32_t FakeEngine::fceRelease() { return Record("fceRelease", {}); }

}  // namespace zuno::testing
