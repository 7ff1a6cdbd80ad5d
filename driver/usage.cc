#include "driver/usage.h"

#include "driver/startup.h"

namespace zuno {

namespace {

constexpr const char* kUsage = R"(Usage: zuno CONFIG-FILE
       zuno --help | -h | --version

Keeps one browser bookmark file the same on several machines through an FTP server.
One run: download the server's copy into the browser's directory, run the browser and
wait until it ends, wait 30 s for its last write, then upload the file back. A failing
network step is retried every 5 s until it works or you press a key. Before the
upload replaces the server's copy it checks that no other machine uploaded since the
download: if one did, it asks, and keeps your copy beside the other one as a conflict
copy unless you answer y. Every replaced copy is kept in zuno-history/ on the server.

CONFIG-FILE holds exactly eight value lines, in this order:
  1 ServerHost      server: host[:port] or [IPv6][:port] for plain FTP (port 21);
                    ftpes://, ftps:// (TLS) or sftp:// before it for encryption;
                    #sha256:KEY (TLS) or #SHA256:KEY (SSH) after it pins the key
  2 UserName        FTP login name
  3 Password        FTP password (never shown; keep the file chmod 600)
  4 LocalDir        local directory of the browser's bookmark file
  5 ServerDir       server directory (/x absolute, x from the login directory)
  6 LocalFile       the browser's bookmark file name in LocalDir
  7 ServerFile      file name on the server and of the staging copy in LocalDir
  8 BrowserCommand  program to run, with its arguments (no shell; "..." groups)
Lines beginning with # are comments. Every other line counts as a value line, an
empty one too. Lines must end with CR LF (or CR); convert a file with Unix line ends
with: sed -i 's/\r*$/\r/' CONFIG-FILE. Values are taken as written, at most 99 characters.

Keys: any key aborts a retry; y or Y answers the upload question with yes.
Exit status: 0.
)";

}  // namespace

std::optional<std::string> InformationRequested(const CommandArgs& args) {
  if (args.count < 1) return std::nullopt;
  const std::string& first = args.slots[1];
  if (first == "--help" || first == "-h") return std::string(kUsage);
  if (first == "--version") return std::string("zuno ") + ZUNO_VERSION + " (" + kTitleLine + ")\n";
  return std::nullopt;
}

}  // namespace zuno
