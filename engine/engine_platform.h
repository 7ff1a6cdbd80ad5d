#pragma once

// What the engine needs from the operating system, as small functions that
// engine/engine_platform_posix.cc and engine/engine_platform_win32.cc define.
// Local paths are the system's narrow-character paths, used whole.

#include <curl/curl.h>

#include <cstddef>
#include <string>
#include <vector>

namespace zuno {

// --- The machine and the process ---------------------------------------------------

// The machine's name, empty when it has none.
std::string MachineName();
long ProcessNumber();
// Fills the bytes from the system's random source; false when it could not.
bool FillRandom(void* data, size_t size);
// Overwrites the bytes with zeros in a way that the compiler keeps.
void WipeMemory(void* data, size_t size);

// --- Sockets, for libcurl ------------------------------------------------------------

// A socket that programs started later (the browser) do not inherit.
curl_socket_t OpenSocket(int family, int type, int protocol);
int CloseSocket(curl_socket_t socket);
// Ends both directions of the connection; the socket stays open.
void ShutDownSocket(curl_socket_t socket);
// True when none of the sockets has anything to read and none was closed by the
// other side; false also when that cannot be told.
bool SocketsQuiet(const std::vector<curl_socket_t>& sockets);

// --- Local files -------------------------------------------------------------------

// Functions that fail set errno, so that strerror(errno) says why.

// Whether the path names an existing directory; false with the reason when not.
bool IsLocalDirectory(const std::string& path, std::string* problem);
// Creates a new file of a unique name, only for this process, binary. path ends in
// "XXXXXX", which becomes the unique part. A file descriptor, or -1.
int CreateUniqueFile(std::string* path);
// Opens an existing file for binary reading, without following a link at its name
// (that fails with ELOOP), without blocking on a fifo and without making a terminal
// the controlling one; -1 when it cannot.
int OpenForReading(const std::string& path);
// Whether something other than a plain file stands at the name (a directory, a
// link, a device); false when nothing does.
bool StandsAsOtherThanPlainFile(const std::string& path);
// The number of bytes written or read (0 at the end of a file), -1 on failure.
long WriteSome(int fd, const char* data, size_t size);
long ReadSome(int fd, char* data, size_t size);
// Cuts the file to nothing and goes back to its start.
bool EmptyFile(int fd);
bool SeekToStart(int fd);
// The size of an open file and whether it is a plain file.
bool OpenFileSize(int fd, long long* size, bool* plain_file);
// Gives the file the permissions of the plain file target that it replaces, or the
// owner's alone when there is none (a no-op where files carry no such permissions).
bool TakePermissionsOf(int fd, const std::string& target);
// Writes the file's data through to the disk.
bool FlushToDisk(int fd);
int CloseFile(int fd);
// Renames from to to, replacing a file of that name in one step.
bool RenameOver(const std::string& from, const std::string& to);
// Makes a rename inside the directory durable, where the system needs that.
void FlushDirectory(const std::string& directory);
bool RemoveFile(const std::string& path);

// --- TLS and SSH -------------------------------------------------------------------

// Without a pin, a server's certificate chain is verified against the system's
// certificate store: libcurl's CA bundle on POSIX, the Windows ROOT store on Windows.
void UseSystemCertificateStore(CURL* curl);
// The user's known hosts file: $HOME/.ssh/known_hosts (or the account's home
// directory when HOME is not set) on POSIX, %USERPROFILE%\.ssh\known_hosts on
// Windows, where Windows' own OpenSSH keeps it.
std::string KnownHostsPath();
// The same as the user knows it, for messages.
const char* KnownHostsShownName();

}  // namespace zuno
