#pragma once

#include <string_view>

#include "engine/ftp_listing.h"

namespace zuno {

enum class ExistenceVerdict {
  kPresent,   // the server shows a plain file of that name
  kAbsent,    // the server shows that there is no such file
  kNotAFile,  // the name is a directory
  kDoubt,     // nothing proves either: the check fails
};

// What one command that names the file (MLST, SIZE, MDTM, or RETR as the last
// resort) said of it.
enum class NameProbe {
  kNotAsked,
  kPlainFile,       // MLST type=file, SIZE 213, RETR began sending
  kDirectory,       // MLST type=dir
  kExists,          // MDTM 213: something of that name, a file or perhaps a directory
  kNoSuchFile,      // 550: the command names nothing it can use
  kUnknownCommand,  // 500, 501, 502, 504: the server does not know the command
  kUnclear,         // any other answer, or none
};

// The evidence about one name, from commands on the exact name and from a listing
// of the server directory.
struct NameEvidence {
  NameProbe machine_entry = NameProbe::kNotAsked;      // MLST
  NameProbe size = NameProbe::kNotAsked;               // SIZE
  NameProbe modification_time = NameProbe::kNotAsked;  // MDTM
  NameProbe retrieve = NameProbe::kNotAsked;           // RETR
  // Whether a listing of the directory was read to its successful end, one that
  // shows every name (those that begin with a dot too, where the name does), and
  // what it showed for the name.
  bool listing_complete = false;
  ListedAs listed = ListedAs::kAbsent;
};

// The probe that a reply code gives for MLST (with entry: its type), SIZE, MDTM or RETR.
NameProbe ProbeOfReply(int reply, bool is_directory_entry);

// Decides from the evidence. Present: a command on the exact name shows a plain
// file, or a complete listing does and no command contradicts it. Absent only
// when a complete listing lacks the name AND a command on the exact name answers
// that there is no such file; a "not implemented" reply proves nothing. A
// directory is never a file. Every other combination is a doubt.
ExistenceVerdict DecideExistence(const NameEvidence& evidence);

// Whether the server does not know a command at all (or not in that form).
bool IsUnknownCommandReply(int reply);

// The code of a server's reply text: the three digits that begin its last line, or
// 0 when the text holds no reply.
int ReplyCode(std::string_view reply_text);

// The number after the code of a reply such as "213 1234"; false when there is none.
bool ReplyNumber(std::string_view reply_text, long long* number);

}  // namespace zuno
