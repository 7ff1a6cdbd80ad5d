#include "engine/existence_proof.h"

namespace zuno {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The last line of a reply text that begins with three digits and a blank (the
// closing line of a multi-line reply), or the last line of any kind.
std::string_view LastReplyLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  std::string_view last;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]) &&
        (line.size() == 3 || line[3] == ' ')) {
      last = line;
    }
    start = end + 1;
  }
  return last;
}

}  // namespace

bool IsUnknownCommandReply(int reply) {
  return reply == 500 || reply == 501 || reply == 502 || reply == 504;
}

NameProbe ProbeOfReply(int reply, bool is_directory_entry) {
  if (IsUnknownCommandReply(reply)) return NameProbe::kUnknownCommand;
  if (reply == 550) return NameProbe::kNoSuchFile;
  switch (reply) {
    case 250:  // MLST with its entry
      return is_directory_entry ? NameProbe::kDirectory : NameProbe::kPlainFile;
    case 213:  // SIZE; MDTM is read by the caller as kExists
      return NameProbe::kPlainFile;
    case 125:
    case 150:  // RETR began
      return NameProbe::kPlainFile;
    default:
      return NameProbe::kUnclear;
  }
}

ExistenceVerdict DecideExistence(const NameEvidence& evidence) {
  const NameProbe probes[] = {evidence.machine_entry, evidence.size, evidence.modification_time,
                              evidence.retrieve};
  bool said_no_such_file = false;
  bool said_plain_file = false;
  bool said_something = false;
  for (NameProbe probe : probes) {
    if (probe == NameProbe::kDirectory) return ExistenceVerdict::kNotAFile;
    said_no_such_file = said_no_such_file || probe == NameProbe::kNoSuchFile;
    said_plain_file = said_plain_file || probe == NameProbe::kPlainFile;
    said_something = said_something || probe == NameProbe::kExists;
  }
  if (evidence.listed == ListedAs::kDirectory) return ExistenceVerdict::kNotAFile;
  if (said_plain_file) return ExistenceVerdict::kPresent;
  // Something of that name is there; SIZE denying a plain file points at a directory.
  if (said_something) {
    return evidence.size == NameProbe::kNoSuchFile ? ExistenceVerdict::kDoubt
                                                   : ExistenceVerdict::kPresent;
  }
  if (evidence.listed == ListedAs::kFile) {
    return said_no_such_file ? ExistenceVerdict::kDoubt : ExistenceVerdict::kPresent;
  }
  if (evidence.listing_complete && said_no_such_file) return ExistenceVerdict::kAbsent;
  return ExistenceVerdict::kDoubt;
}

int ReplyCode(std::string_view reply_text) {
  const std::string_view line = LastReplyLine(reply_text);
  if (line.empty()) return 0;
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool ReplyNumber(std::string_view reply_text, long long* number) {
  const std::string_view line = LastReplyLine(reply_text);
  if (line.size() < 5 || !IsDigit(line[4])) return false;
  long long value = 0;
  for (size_t at = 4; at < line.size() && IsDigit(line[at]); ++at) {
    if (value > (1LL << 52)) return false;
    value = value * 10 + (line[at] - '0');
  }
  *number = value;
  return true;
}

}  // namespace zuno
