#pragma once

#include <string_view>

#include "engine/ftp_listing.h"

namespace zuno {

// What the server said when asked about one name in the server directory, for an
// engine that can only read the listing through a client library's own parser
// (which may drop lines it cannot read, or cut a name at a blank).
struct ExistenceEvidence {
  // The reply code to SIZE for the name (213: a plain file with a size).
  int size_reply = 0;
  // Whether a complete listing of the directory showed the name, and as what.
  ListedAs listed = ListedAs::kAbsent;
  // The reply code to MDTM for the name; 0 when it was not asked.
  int modification_time_reply = 0;
  // Whether the name holds a blank or a tab, which a listing parser may lose.
  bool name_has_blank = false;
};

enum class ExistenceVerdict {
  kPresent,   // the server shows a plain file of that name
  kAbsent,    // the server shows that there is no such file
  kNotAFile,  // the name is a directory
  kDoubt,     // nothing proves either: the check fails
};

// Whether the server does not know a command at all (or not in that form).
bool IsUnknownCommandReply(int reply);

// Whether MDTM should be asked as well: only where SIZE is unknown to the server
// and the listing has not already shown a directory.
bool NeedsModificationTime(const ExistenceEvidence& evidence);

// Decides from the evidence; absence needs the listing and a command that names
// the file, except on a server that knows neither SIZE nor MDTM, where the listing
// alone stands for names without blanks. Every other combination is a doubt.
ExistenceVerdict JudgeExistence(const ExistenceEvidence& evidence);

// The code of a server's reply text: the three digits that begin its last line, or
// 0 when the text holds no reply.
int ReplyCode(std::string_view reply_text);

// The number after the code of a reply such as "213 1234"; false when there is none.
bool ReplyNumber(std::string_view reply_text, long long* number);

}  // namespace zuno
