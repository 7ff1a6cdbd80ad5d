// The engine against servers that fail: cut connections, stalls, silence,
// missing commands, refusals, and connections that the server ends.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "engine/engine_errors.h"
#include "engine/ftp_engine.h"
#include "tests/support/engine_test_session.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_servers.h"

namespace zuno {
namespace {

using testing::BinaryContent;
using testing::EngineSession;
using testing::FileHolds;
using testing::kCallCeiling;
using testing::NamesIn;
using testing::TempDir;
using testing::WriteFile;
using Clock = std::chrono::steady_clock;

size_t CountOf(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

// A pyftpdlib server that misbehaves as its name says.
class FaultyServerTest : public testing::EngineServerTest {};

TEST_F(FaultyServerTest, OneLoginServesEachPassFromConnectToClose) {
  USE_TEST_SERVER("pyftpd-logins");
  const size_t logins = CountOf(server().log_text(), "logged in");
  WriteFile(server_dir_ / "bookmarks.html", "server copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  ASSERT_GT(engine_.Check("bookmarks.html"), 0);
  ASSERT_EQ(engine_->fceGetFile(0, "bookmarks.html:local.html"), 0);
  ASSERT_EQ(engine_->fceClose(0), 0);
  WriteFile(local_.path() / "bookmarks.html", "new copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  ASSERT_EQ(engine_->fceDelFile(0, "bookmarks.html"), 0);
  ASSERT_EQ(engine_->fcePutFile(0, "bookmarks.html"), 0);
  ASSERT_EQ(engine_->fceClose(0), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / "bookmarks.html", "new copy"));
  EXPECT_EQ(CountOf(server().log_text(), "logged in") - logins, 2u) << server().log_text();
}

TEST_F(FaultyServerTest, DownloadCutOffLeavesTheLocalFileAsItWas) {
  USE_TEST_SERVER("drop-retr");
  WriteFile(server_dir_ / "bookmarks.html", BinaryContent(300000, 3));
  WriteFile(local_.path() / "local.html", "the browser's copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  const int32_t failed = engine_->fceGetFile(0, "bookmarks.html:local.html");
  EXPECT_LT(failed, 0);
  EXPECT_FALSE(engine_.Text(failed).empty());
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", "the browser's copy"));
  EXPECT_EQ(NamesIn(local_.path()), std::set<std::string>{"local.html"});
  // The next step logs in again by itself.
  EXPECT_GT(engine_.Check("bookmarks.html"), 0);
}

TEST_F(FaultyServerTest, StalledDownloadFailsWithinItsLimitAndTheNextStepWorks) {
  USE_TEST_SERVER("stall-retr");
  WriteFile(server_dir_ / "bookmarks.html", BinaryContent(300000, 4));
  WriteFile(local_.path() / "local.html", "the browser's copy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  const auto start = Clock::now();
  const int32_t failed = engine_->fceGetFile(0, "bookmarks.html:local.html");
  EXPECT_LT(Clock::now() - start, kCallCeiling);
  EXPECT_EQ(failed, kEngineStalled) << engine_.Text(failed);
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", "the browser's copy"));
  EXPECT_EQ(NamesIn(local_.path()), std::set<std::string>{"local.html"});
  // The connection of the stalled transfer is out of step; the next step does not
  // use it.
  EXPECT_GT(engine_.Check("bookmarks.html"), 0);
}

TEST_F(FaultyServerTest, UploadCutOffNeverTruncatesTheServerFile) {
  USE_TEST_SERVER("drop-stor");
  WriteFile(server_dir_ / "bookmarks.html", "the server's copy");
  WriteFile(local_.path() / "bookmarks.html", BinaryContent(300000, 5));
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  const int32_t failed = engine_->fcePutFile(0, "bookmarks.html");
  EXPECT_LT(failed, 0);
  EXPECT_TRUE(FileHolds(server_dir_ / "bookmarks.html", "the server's copy"));
  // The partial upload under its own name was removed again.
  EXPECT_EQ(NamesIn(server_dir_), std::set<std::string>{"bookmarks.html"});
}

TEST_F(FaultyServerTest, SilentServerMakesConnectFailWithinItsLimit) {
  USE_TEST_SERVER("silent");
  const auto start = Clock::now();
  const int32_t failed = engine_.Connect(server());
  EXPECT_LT(Clock::now() - start, kCallCeiling);
  EXPECT_TRUE(failed == kEngineTimeout || failed == kEngineStalled) << engine_.Text(failed);
  EXPECT_EQ(engine_->fceSetServerDir(0, ""), kEngineNotConnected);
}

TEST_F(FaultyServerTest, UnansweredQuitDoesNotHoldUpClose) {
  USE_TEST_SERVER("mute-quit");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  ASSERT_EQ(engine_->fceSetInteger(0, 3, 80000), 0);  // the driver's reply limit
  const auto start = Clock::now();
  EXPECT_EQ(engine_->fceClose(0), 0);
  EXPECT_LT(Clock::now() - start, kCallCeiling);
}

// A key during a retry ends the run without fceClose: the engine then goes away with
// the connection open, and must not wait out the reply limit for a QUIT answer.
TEST_F(FaultyServerTest, EngineDroppedWithAnOpenConnectionEndsAtOnce) {
  USE_TEST_SERVER("mute-quit");
  auto engine = MakeFtpEngine();
  ASSERT_GE(engine->fceAttach(1), 0);
  ASSERT_EQ(engine->fceSetInteger(0, 3, 60000), 0);  // a reply may take a minute
  ASSERT_EQ(engine->fceConnect(0, server().host_text, server().user, server().password), 0);
  const auto start = Clock::now();
  engine.reset();
  EXPECT_LT(Clock::now() - start, kCallCeiling);
}

// The delete only makes way for the upload: a server that lets nothing be
// renamed or deleted keeps its file, and the upload is the step that fails.
TEST_F(FaultyServerTest, ServerThatRefusesReplacingKeepsItsFile) {
  USE_TEST_SERVER("no-delete");
  WriteFile(server_dir_ / "bookmarks.html", "kept");
  WriteFile(local_.path() / "bookmarks.html", "new");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  EXPECT_EQ(engine_->fceDelFile(0, "bookmarks.html"), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / "bookmarks.html", "kept"));
  const int32_t refused = engine_->fcePutFile(0, "bookmarks.html");
  EXPECT_EQ(refused, kEngineServerRefused);
  EXPECT_NE(engine_.Text(refused).find("550"), std::string::npos) << engine_.Text(refused);
  EXPECT_TRUE(FileHolds(server_dir_ / "bookmarks.html", "kept"));
  EXPECT_EQ(engine_->fceDelFile(0, "absent.html"), 0);
}

// The transfer text joins the names with a colon; a server name that holds one
// is still taken whole, never cut at its own colon.
TEST_F(FaultyServerTest, ColonInTheServerNameIsTakenWhole) {
#ifdef _WIN32
  GTEST_SKIP() << "a Windows program cannot make the server's file: its name holds a colon";
#endif
  USE_TEST_SERVER("pyftpd");
  WriteFile(server_dir_ / "mine:yours.html", "the whole name");
  WriteFile(server_dir_ / "mine", "a decoy");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  ASSERT_GT(engine_.Check("mine:yours.html"), 0);
  ASSERT_EQ(engine_->fceGetFile(0, "mine:yours.html:local.html"), 0);
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", "the whole name"));
}

TEST_F(FaultyServerTest, WorksOnIpv6Loopback) {
  if (!testing::HasIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback here";
  USE_TEST_SERVER("ipv6");
  ASSERT_EQ(server().host_text.rfind("[::1]:", 0), 0u);
  const std::string content = BinaryContent(50000, 6);
  WriteFile(server_dir_ / "bookmarks.html", content);
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  EXPECT_GT(engine_.Check("bookmarks.html"), 0);
  EXPECT_EQ(engine_.Check("absent.html"), 0);
  ASSERT_EQ(engine_->fceGetFile(0, "bookmarks.html:local.html"), 0);
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", content));
}

// Servers that lack SIZE, and also MLST / MLSD: the check falls back on name
// lists, and transfers are still verified as far as the server allows.
struct MissingCommands {
  const char* label;
  bool no_mlst;
};

void PrintTo(const MissingCommands& missing, std::ostream* out) { *out << missing.label; }

class ServerWithoutSizeTest : public FaultyServerTest,
                              public ::testing::WithParamInterface<MissingCommands> {};

INSTANTIATE_TEST_SUITE_P(Servers, ServerWithoutSizeTest,
                         ::testing::Values(MissingCommands{"NoSize", false},
                                           MissingCommands{"NoSizeNoMlst", true}),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST_P(ServerWithoutSizeTest, ChecksAndTransfersStillHold) {
  USE_TEST_SERVER(GetParam().no_mlst ? "no-size-no-mlst" : "no-size");
  const std::string content = BinaryContent(100000, 8);
  WriteFile(server_dir_ / "bookmarks.html", content);
  WriteFile(server_dir_ / ".hidden", "dot");
  std::filesystem::create_directory(server_dir_ / "folder");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));

  EXPECT_GT(engine_.Check("bookmarks.html"), 0);
  EXPECT_GT(engine_.Check(".hidden"), 0);
  EXPECT_EQ(engine_.Check("absent.html"), 0);
  EXPECT_EQ(engine_.Check("Bookmarks.html"), 0);
  // Without machine listings a directory cannot be told from a file here, and a
  // name list that may hide dot-files proves nothing about one that is missing.
  if (!GetParam().no_mlst) {
    EXPECT_LT(engine_.Check("folder"), 0);
    EXPECT_EQ(engine_.Check(".absent"), 0);
  } else {
    EXPECT_LT(engine_.Check(".absent"), 0);
  }

  ASSERT_EQ(engine_->fceGetFile(0, "bookmarks.html:local.html"), 0);
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", content));
  const std::string upload = BinaryContent(80000, 9);
  WriteFile(local_.path() / "up.bin", upload);
  ASSERT_EQ(engine_->fcePutFile(0, "up.bin"), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / "up.bin", upload));
  EXPECT_EQ(NamesIn(server_dir_),
            (std::set<std::string>{"bookmarks.html", ".hidden", "folder", "up.bin"}));
}

// --- The server copy check and the history -----------------------------------------

// Without MDTM and MLST the server tells no time: only the same bytes count as
// unchanged, so a copy of the same size and time is still told apart.
TEST_F(FaultyServerTest, ServerCopyWithoutATimeIsComparedByItsBytes) {
  USE_TEST_SERVER("no-mlst-no-mdtm");
  WriteFile(server_dir_ / "bookmarks.html", "first copy");
  const auto written = std::filesystem::last_write_time(server_dir_ / "bookmarks.html");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  ASSERT_GT(engine_.Check("bookmarks.html"), 0);
  ASSERT_EQ(engine_->fceGetFile(0, "bookmarks.html:local.html"), 0);
  EXPECT_EQ(engine_->fceCheckServerCopy(0, "bookmarks.html"), 0);
  WriteFile(server_dir_ / "bookmarks.html", "other copy");
  std::filesystem::last_write_time(server_dir_ / "bookmarks.html", written);
  EXPECT_EQ(engine_->fceCheckServerCopy(0, "bookmarks.html"), 1);
}

// On a run where nobody else wrote, the check costs one command on a server with
// MLST, and three (TYPE I, SIZE, MDTM) on one without.
TEST_F(FaultyServerTest, ServerCopyCheckCostsACommandOrThree) {
  for (const bool machine_entry : {true, false}) {
    USE_TEST_SERVER(machine_entry ? "commands-logged" : "commands-logged-no-mlst");
    WriteFile(server_dir_ / "bookmarks.html", "the copy");
    ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
    ASSERT_GT(engine_.Check("bookmarks.html"), 0);
    ASSERT_EQ(engine_->fceGetFile(0, "bookmarks.html:local.html"), 0);
    const size_t before = CountOf(server().log_text(), "CMD ");
    EXPECT_EQ(engine_->fceCheckServerCopy(0, "bookmarks.html"), 0);
    EXPECT_EQ(CountOf(server().log_text(), "CMD ") - before, machine_entry ? 1u : 3u)
        << server().log_text();
    ASSERT_EQ(engine_->fceClose(0), 0);
  }
}

// Each replaced copy is kept; the newest ten of a file stay, and the history of
// another file is left alone.
TEST_F(FaultyServerTest, HistoryKeepsTheNewestTenReplacedCopies) {
  USE_TEST_SERVER("pyftpd");
  std::filesystem::create_directories(server_dir_ / "zuno-history");
  WriteFile(server_dir_ / "zuno-history" / "other.20200101T000000.000Z.html", "another file's");
  WriteFile(server_dir_ / "bookmarks.html", "copy 0");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  for (int i = 1; i <= 12; ++i) {
    WriteFile(local_.path() / "bookmarks.html", "copy " + std::to_string(i));
    ASSERT_EQ(engine_->fcePutFile(0, "bookmarks.html"), 0) << i;
  }
  EXPECT_TRUE(FileHolds(server_dir_ / "bookmarks.html", "copy 12"));
  const std::set<std::string> kept = NamesIn(server_dir_ / "zuno-history");
  ASSERT_EQ(kept.size(), 11u);
  EXPECT_EQ(kept.count("other.20200101T000000.000Z.html"), 1u);
  std::set<std::string> contents;
  for (const std::string& name : kept) {
    if (name.starts_with("bookmarks."))
      contents.insert(testing::ReadWholeFile(server_dir_ / "zuno-history" / name));
  }
  std::set<std::string> expected;
  for (int i = 2; i <= 11; ++i) expected.insert("copy " + std::to_string(i));
  EXPECT_EQ(contents, expected);
}

// A server that lets no directory be made still syncs, and says it keeps no history.
TEST_F(FaultyServerTest, ServerThatRefusesTheHistoryDirectoryStillSyncs) {
  USE_TEST_SERVER("no-mkdir");
  WriteFile(server_dir_ / "bookmarks.html", "old");
  WriteFile(local_.path() / "bookmarks.html", "new");
  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  EXPECT_EQ(engine_->fcePutFile(0, "bookmarks.html"), 1);
  EXPECT_TRUE(FileHolds(server_dir_ / "bookmarks.html", "new"));
  EXPECT_EQ(NamesIn(server_dir_), std::set<std::string>{"bookmarks.html"});
}

// --- Connections that the server ends between steps -----------------------------

enum class Dropper { kPyFtpdSays421, kPyFtpdSilently, kVsftpd };

void PrintTo(Dropper dropper, std::ostream* out) {
  switch (dropper) {
    case Dropper::kPyFtpdSays421:
      *out << "PyFtpdSays421";
      break;
    case Dropper::kPyFtpdSilently:
      *out << "PyFtpdSilently";
      break;
    case Dropper::kVsftpd:
      *out << "Vsftpd";
      break;
  }
}

class DroppedConnectionTest : public testing::EngineServerTest,
                              public ::testing::WithParamInterface<Dropper> {};

INSTANTIATE_TEST_SUITE_P(Servers, DroppedConnectionTest,
                         ::testing::Values(Dropper::kPyFtpdSays421, Dropper::kPyFtpdSilently,
                                           Dropper::kVsftpd),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST_P(DroppedConnectionTest, EveryStepLogsInAgainAndReturnsToTheServerDirectory) {
  USE_TEST_SERVER(GetParam() == Dropper::kVsftpd          ? "vsftpd-idle"
                  : GetParam() == Dropper::kPyFtpdSays421 ? "idle-421"
                                                          : "idle-silent");
  // The same name in the login directory: a step that forgot to change into the
  // server directory after logging in again would act on this one.
  const std::string name = dir_name_ + ".html";
  const std::filesystem::path decoy = server().login_dir / name;
  WriteFile(decoy, "decoy");
  WriteFile(server_dir_ / name, "server copy");
  WriteFile(local_.path() / name, "new copy");

  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), dir_name_));
  // Long enough for the server's idle limit (pyftpdlib 0.5 s, vsftpd 1 s) to end
  // the session before each step.
  const auto idle = std::chrono::milliseconds(GetParam() == Dropper::kVsftpd ? 1600 : 900);
  const auto dropped = [idle] { std::this_thread::sleep_for(idle); };
  dropped();
  EXPECT_GT(engine_.Check(name), 0) << engine_.Text(kEngineConnectionLost);
  dropped();
  ASSERT_EQ(engine_->fceGetFile(0, name + ":local.html"), 0);
  EXPECT_TRUE(FileHolds(local_.path() / "local.html", "server copy"));
  dropped();
  ASSERT_EQ(engine_->fceDelFile(0, name), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / name, "server copy"));
  dropped();
  ASSERT_EQ(engine_->fcePutFile(0, name), 0);
  EXPECT_TRUE(FileHolds(server_dir_ / name, "new copy"));
  EXPECT_TRUE(FileHolds(decoy, "decoy"));
  EXPECT_EQ(engine_->fceClose(0), 0);
  std::filesystem::remove(decoy);
}

// --- vsftpd refusals ---------------------------------------------------------------

class VsftpdRefusalTest : public testing::EngineServerTest {};

TEST_F(VsftpdRefusalTest, DirectoryThatRefusesWritingKeepsItsFile) {
  USE_TEST_SERVER("vsftpd");
  // The server's account owns its login directory but not "locked" (root's, mode 0755).
  const std::filesystem::path locked = server().login_dir / "locked";
  const std::string name = dir_name_ + ".html";
  WriteFile(locked / name, "kept");

  ASSERT_NO_FATAL_FAILURE(engine_.Open(server(), local_.path(), "locked"));
  EXPECT_EQ(engine_->fceDelFile(0, name), 0);
  EXPECT_TRUE(std::filesystem::exists(locked / name));
  // No upload can get in; the file stays as it was.
  WriteFile(local_.path() / name, "new");
  const int32_t refused = engine_->fcePutFile(0, name);
  EXPECT_EQ(refused, kEngineServerRefused);
  EXPECT_NE(engine_.Text(refused).find("553"), std::string::npos) << engine_.Text(refused);
  EXPECT_TRUE(FileHolds(locked / name, "kept"));
  EXPECT_EQ(NamesIn(locked).count(name), 1u);
  for (const std::string& left : NamesIn(locked)) {
    EXPECT_EQ(left.find("zuno-upload-"), std::string::npos) << left;
  }
  std::filesystem::remove(locked / name);
}

}  // namespace
}  // namespace zuno
