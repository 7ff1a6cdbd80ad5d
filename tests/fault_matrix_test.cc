// Whole runs of the driver with the real engine and the real local files against a
// server that misbehaves in one way per case, in one pass. Console, clock and
// browser are the recording fakes; where a step hangs, the test presses a key as a
// user would. Afterwards the local file, the staging copy and the server file are
// checked by content: no case may leave a part, or an older copy in place of a
// newer one, and the server never ends without a whole copy.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/sync_run.h"
#include "driver/sync_services.h"
#include "engine/ftp_engine.h"
#include "services/files.h"
#include "tests/support/fakes.h"
#include "tests/support/ftp_servers.h"
#include "tests/support/temp_dir.h"

namespace zuno::testing {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

// What the run must come to.
enum class Outcome {
  kSyncs,           // downloaded, edited, uploaded
  kFindsNoFile,     // the server shows no file: the local copy is kept, nothing is uploaded
  kAbortsDownload,  // the download pass fails until the key
  kAbortsUpload,    // the upload pass fails until the key
};

struct FaultCase {
  const char* label;
  std::function<void(PyFtpdOptions&)> server;
  Outcome outcome;
  bool server_file_absent = false;
};

void NoSize(PyFtpdOptions& options) { options.no_size = true; }
void NoMlst(PyFtpdOptions& options) { options.no_mlst = true; }
void NoMdtm(PyFtpdOptions& options) { options.no_mdtm = true; }
void Hide(PyFtpdOptions& options) { options.hidden_names.push_back("shared.html"); }

// Several server traits at once.
std::function<void(PyFtpdOptions&)> All(std::vector<std::function<void(PyFtpdOptions&)>> traits) {
  return [traits](PyFtpdOptions& options) {
    for (const auto& trait : traits) trait(options);
  };
}
std::function<void(PyFtpdOptions&)> Fault(std::string spec) {
  return [spec](PyFtpdOptions& options) { options.faults.push_back(spec); };
}

constexpr const char* kServerFile = "shared.html";
constexpr const char* kLocalFile = "bookmarks.html";
constexpr const char* kEdit =
    "<DT><A HREF=\"https://example.org/edit\">added on this machine</A>\r\n";

// A bookmark file of some size, with the bytes a careless transfer would change.
std::string Bookmarks(const std::string& who, int count) {
  std::string text = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\r\n<DL><p>\r\n";
  for (int i = 0; i < count; ++i) {
    text += "<DT><A HREF=\"https://example.org/" + who + "/" + std::to_string(i) + "\">" + who +
            " \xe2\x80\x94 " + std::to_string(i) + "</A>\r\n";
  }
  return text + "</DL>\r\n";
}

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Whether a file holds the text; told briefly, since the texts are long.
::testing::AssertionResult Holds(const fs::path& path, const std::string& expected) {
  const std::string actual = Read(path);
  if (actual == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << " holds " << actual.size() << " bytes, not the "
                                       << expected.size() << " expected";
}

std::set<std::string> Names(const fs::path& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The engine as the driver sees it, with the start of each call noted, so that a
// call that hangs can be met with a key.
class WatchedEngine final : public FtpEngine {
 public:
  explicit WatchedEngine(std::function<std::unique_ptr<FtpEngine>(StopCheck)> make)
      : engine_(make([this] { return Hanging(); })) {}

  // Set by the test: the key a user presses when a call has hung this long.
  std::function<void()> press_key;
  std::chrono::milliseconds patience{4000};
  bool key_was_pressed() const { return pressed_; }

  int32_t fceAttach(int32_t channels) override {
    return Call([&] { return engine_->fceAttach(channels); });
  }
  int32_t fceSetInteger(int32_t channel, int32_t parameter, int32_t value) override {
    return Call([&] { return engine_->fceSetInteger(channel, parameter, value); });
  }
  int32_t fceSetLocalDir(int32_t channel, const std::string& directory) override {
    return Call([&] { return engine_->fceSetLocalDir(channel, directory); });
  }
  int32_t fceConnect(int32_t channel, const std::string& host, const std::string& user,
                     const std::string& password) override {
    return Call([&] { return engine_->fceConnect(channel, host, user, password); });
  }
  int32_t fceSetServerDir(int32_t channel, const std::string& directory) override {
    return Call([&] { return engine_->fceSetServerDir(channel, directory); });
  }
  int32_t fceGetList(int32_t channel, int32_t kind, char* buffer, int32_t size) override {
    return Call([&] { return engine_->fceGetList(channel, kind, buffer, size); });
  }
  int32_t fceSetMode(int32_t channel, int32_t mode) override {
    return Call([&] { return engine_->fceSetMode(channel, mode); });
  }
  int32_t fceGetFile(int32_t channel, const std::string& transfer_text) override {
    return Call([&] { return engine_->fceGetFile(channel, transfer_text); });
  }
  int32_t fceDelFile(int32_t channel, const std::string& name) override {
    return Call([&] { return engine_->fceDelFile(channel, name); });
  }
  int32_t fcePutFile(int32_t channel, const std::string& name) override {
    return Call([&] { return engine_->fcePutFile(channel, name); });
  }
  int32_t fceCheckServerCopy(int32_t channel, const std::string& name) override {
    return Call([&] { return engine_->fceCheckServerCopy(channel, name); });
  }
  int32_t fcePutConflictCopy(int32_t channel, const std::string& name, char* conflict_name,
                             int32_t size) override {
    return Call([&] { return engine_->fcePutConflictCopy(channel, name, conflict_name, size); });
  }
  int32_t fceClose(int32_t channel) override {
    return Call([&] { return engine_->fceClose(channel); });
  }
  int32_t fceErrorText(int32_t channel, int32_t code, char* buffer, int32_t size) override {
    return engine_->fceErrorText(channel, code, buffer, size);
  }
  int32_t fceRelease() override {
    return Call([&] { return engine_->fceRelease(); });
  }

 private:
  template <typename Body>
  int32_t Call(Body body) {
    started_ = SteadyClock::now();
    return body();
  }
  bool Hanging() {
    if (SteadyClock::now() - started_ < patience) return false;
    if (!pressed_ && press_key) press_key();
    pressed_ = true;
    return true;
  }

  std::unique_ptr<FtpEngine> engine_;
  SteadyClock::time_point started_ = SteadyClock::now();
  bool pressed_ = false;
};

class FaultMatrixTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    server_dir_ = dir_.path() / "server" / "sync";
    local_dir_ = dir_.path() / "profile";
    fs::create_directories(server_dir_);
    fs::create_directories(local_dir_);
    if (!GetParam().server_file_absent) WriteWholeFile(server_dir_ / kServerFile, server_copy_);
    WriteWholeFile(local_dir_ / kLocalFile, local_copy_);

    PyFtpdOptions options;
    options.root = dir_.path() / "server";
    options.login_dir = dir_.path() / "server";
    GetParam().server(options);
    std::string error;
    server_ = FtpServer::StartPyFtpd(options, &error);
    ASSERT_NE(server_, nullptr) << error;

    const std::vector<std::string> lines = {
        server_->host_text(), server_->user(), server_->password(),
        local_dir_.string(),  "sync",          kLocalFile,
        kServerFile,          "browser"};
    std::string text = "# fault matrix\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
    config_ = dir_.Write("zuno.cfg", text);
  }

  // Runs the whole program's flow; keys come as a user would press them: one
  // during the first pause of a failing step, or when a call hangs.
  void RunSync() {
    Transcript transcript;
    FakeConsole console(transcript);
    FakeClock clock(transcript);
    FakePrograms programs(transcript);
    std::unique_ptr<FileService> files = MakeLocalFileService();
    WatchedEngine engine([](StopCheck stop) { return MakeFtpEngine(std::move(stop)); });
    engine.press_key = [&] { console.QueueKey("k"); };
    const bool aborts = GetParam().outcome == Outcome::kAbortsDownload ||
                        GetParam().outcome == Outcome::kAbortsUpload;
    clock.during_pause = [&](int, uint32_t milliseconds) {
      if (aborts && milliseconds == 5000 && console.KeysLeft() == 0) console.QueueKey("k");
    };
    programs.program = [&](const std::string&) {
      browser_ran_ = true;
      browser_found_ = Read(local_dir_ / kLocalFile);
      WriteWholeFile(local_dir_ / kLocalFile, browser_found_ + kEdit);
    };
    SyncServices services{console, clock, *files, programs, engine};
    const auto start = SteadyClock::now();
    EXPECT_EQ(RunZuno(services, SplitCommandLine(config_)), 0);
    seconds_ = std::chrono::duration<double>(SteadyClock::now() - start).count();
    lines_ = transcript.Lines();
    for (const std::string& line : lines_) output_ += line + "\n";
  }

  TempDir dir_;
  fs::path server_dir_;
  fs::path local_dir_;
  std::string config_;
  std::unique_ptr<FtpServer> server_;
  const std::string server_copy_ = Bookmarks("server", 312);
  const std::string local_copy_ = Bookmarks("local", 312);
  bool browser_ran_ = false;
  std::string browser_found_;
  std::vector<std::string> lines_;
  std::string output_;
  double seconds_ = 0;
};

TEST_P(FaultMatrixTest, NoRunLeavesAPartOrAnOlderCopy) {
  RunSync();
  const fs::path staging = local_dir_ / kServerFile;
  const std::set<std::string> server_names = Names(server_dir_);
  // Whatever an interrupted upload left under its own name, the server's file is whole.
  for (const std::string& name : server_names) {
    EXPECT_TRUE(name == kServerFile || name == "zuno-history" ||
                (name.starts_with("zuno-upload-") && name.ends_with(".part")))
        << name << "\n"
        << output_;
  }
  switch (GetParam().outcome) {
    case Outcome::kSyncs:
      EXPECT_TRUE(browser_found_ == server_copy_) << output_;
      EXPECT_TRUE(Holds(server_dir_ / kServerFile, server_copy_ + kEdit)) << output_;
      EXPECT_TRUE(Holds(staging, server_copy_ + kEdit));
      EXPECT_EQ(server_names, (std::set<std::string>{kServerFile, "zuno-history"})) << output_;
      // The replaced copy is in the history, whole.
      ASSERT_EQ(Names(server_dir_ / "zuno-history").size(), 1u);
      EXPECT_TRUE(Holds(server_dir_ / "zuno-history" / *Names(server_dir_ / "zuno-history").begin(),
                        server_copy_));
      EXPECT_EQ(lines_.back(), std::string("Uploading ") + kServerFile) << output_;
      break;
    case Outcome::kFindsNoFile:
      EXPECT_TRUE(browser_found_ == local_copy_) << output_;
      EXPECT_NE(output_.find("not found, will use local copy"), std::string::npos) << output_;
      EXPECT_EQ(lines_.back(), "Previous download failed - do upload (Y/N)?") << output_;
      EXPECT_TRUE(server_names.empty()) << output_;
      break;
    case Outcome::kAbortsDownload:
      EXPECT_FALSE(browser_ran_) << output_;
      EXPECT_TRUE(Holds(local_dir_ / kLocalFile, local_copy_)) << output_;
      EXPECT_EQ(Names(local_dir_), std::set<std::string>{kLocalFile}) << output_;
      EXPECT_TRUE(Holds(server_dir_ / kServerFile, server_copy_)) << output_;
      EXPECT_EQ(lines_.back(), "Aborting") << output_;
      break;
    case Outcome::kAbortsUpload:
      EXPECT_TRUE(browser_found_ == server_copy_) << output_;
      EXPECT_TRUE(Holds(local_dir_ / kLocalFile, server_copy_ + kEdit));
      EXPECT_TRUE(Holds(staging, server_copy_ + kEdit));
      EXPECT_TRUE(Holds(server_dir_ / kServerFile, server_copy_)) << output_;
      EXPECT_EQ(lines_.back(), "Aborting") << output_;
      break;
  }
}

const FaultCase kCases[] = {
    // Servers that lack commands: every combination still syncs, each transfer proven.
    {"AllCommands", [](PyFtpdOptions&) {}, Outcome::kSyncs},
    {"NoSize", NoSize, Outcome::kSyncs},
    {"NoMlst", NoMlst, Outcome::kSyncs},
    {"NoMdtm", NoMdtm, Outcome::kSyncs},
    {"NoSizeNoMlst", All({NoSize, NoMlst}), Outcome::kSyncs},
    {"NoSizeNoMdtm", All({NoSize, NoMdtm}), Outcome::kSyncs},
    {"NoMlstNoMdtm", All({NoMlst, NoMdtm}), Outcome::kSyncs},
    {"NoSizeNoMlstNoMdtm", All({NoSize, NoMlst, NoMdtm}), Outcome::kSyncs},
    // A listing that hides the file: a command on the name shows it.
    {"HiddenFile", Hide, Outcome::kSyncs},
    {"HiddenFileNoSize", All({Hide, NoSize}), Outcome::kSyncs},
    {"HiddenFileNoSizeNoMlst", All({Hide, NoSize, NoMlst}), Outcome::kSyncs},
    {"HiddenFileNoCommandOnTheName", All({Hide, NoSize, NoMlst, NoMdtm}), Outcome::kSyncs},
    // A file that is really not there is found absent, with or without those commands.
    {"AbsentFile", [](PyFtpdOptions&) {}, Outcome::kFindsNoFile, true},
    {"AbsentFileNoCommandOnTheName", All({NoSize, NoMlst, NoMdtm}), Outcome::kFindsNoFile, true},
    // A download that ends early with "226".
    {"ShortDownload", [](PyFtpdOptions& o) { o.short_download = true; }, Outcome::kAbortsDownload},
    {"ShortDownloadNoSize", All({NoSize, [](PyFtpdOptions& o) { o.short_download = true; }}),
     Outcome::kAbortsDownload},
    {"ShortDownloadSizeIn150Only",
     All({NoSize, NoMlst,
          [](PyFtpdOptions& o) {
            o.short_download = true;
            o.size_in_150 = true;
          }}),
     Outcome::kAbortsDownload},
    // A download of unknown size that trickles: the key stops it.
    {"TrickleOfUnknownSize",
     All({NoSize, NoMlst, [](PyFtpdOptions& o) { o.trickle_download_bps = 2000; }}),
     Outcome::kAbortsDownload},
    {"DownloadDropped", Fault("RETR:drop"), Outcome::kAbortsDownload},
    {"DownloadStalled", Fault("RETR:stall"), Outcome::kAbortsDownload},
    {"DownloadUnanswered", Fault("RETR:silence"), Outcome::kAbortsDownload},
    {"DownloadDroppedOnce", Fault("RETR:drop:1"), Outcome::kSyncs},
    {"CheckUnanswered", Fault("MLST:silence"), Outcome::kAbortsDownload},
    // An upload that the server keeps only half of.
    {"HalfUploadKept", [](PyFtpdOptions& o) { o.keep_half_upload = true; }, Outcome::kAbortsUpload},
    {"HalfUploadKeptNoSize", All({NoSize, [](PyFtpdOptions& o) { o.keep_half_upload = true; }}),
     Outcome::kAbortsUpload},
    {"HalfUploadKeptNoSizeNoMlst",
     All({NoSize, NoMlst, [](PyFtpdOptions& o) { o.keep_half_upload = true; }}),
     Outcome::kAbortsUpload},
    // Drops, stalls and silence on the way to the new copy, and refused renames.
    {"UploadDropped", Fault("STOR:drop"), Outcome::kAbortsUpload},
    {"UploadStalled", Fault("STOR:stall"), Outcome::kAbortsUpload},
    {"UploadUnanswered", Fault("STOR:silence"), Outcome::kAbortsUpload},
    {"UploadDroppedOnce", Fault("STOR:drop:1"), Outcome::kSyncs},
    {"SizeCheckDropped", Fault("SIZE zuno-upload-*:drop"), Outcome::kAbortsUpload},
    {"SizeCheckUnanswered", Fault("SIZE zuno-upload-*:silence"), Outcome::kAbortsUpload},
    {"RenameDropped", Fault("RNTO:drop"), Outcome::kAbortsUpload},
    {"RenameUnanswered", Fault("RNTO:silence"), Outcome::kAbortsUpload},
    {"RenameRefused", Fault("RNTO:refuse"), Outcome::kAbortsUpload},
    {"RenameNeverReplaces", [](PyFtpdOptions& o) { o.rename_never_replaces = true; },
     Outcome::kSyncs},
    {"QuitUnanswered", [](PyFtpdOptions& o) { o.mute_quit = true; }, Outcome::kSyncs},
};

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrixTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace zuno::testing
