#include "engine/ftp_listing.h"

#include <cctype>
#include <string>

namespace zuno {
namespace {

// Calls visit with each line of a listing, without its LF or CR LF.
template <typename Visit>
void ForEachLine(std::string_view listing, Visit visit) {
  size_t start = 0;
  while (start < listing.size()) {
    size_t end = listing.find('\n', start);
    if (end == std::string_view::npos) end = listing.size();
    std::string_view line = listing.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    visit(line);
    start = end + 1;
  }
}

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered;
}

// Reads "fact=value;" pairs into facts: type (lower-cased), size and modify.
void ReadFacts(std::string_view text, NameFacts* facts) {
  std::string type;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view fact = text.substr(start, end - start);
    const size_t equals = fact.find('=');
    if (equals != std::string_view::npos) {
      const std::string key = Lowered(fact.substr(0, equals));
      const std::string_view value = fact.substr(equals + 1);
      if (key == "type") {
        type = Lowered(value);
      } else if (key == "size" && !value.empty() && value.size() <= 18 &&
                 value.find_first_not_of("0123456789") == std::string_view::npos) {
        long long size = 0;
        for (char digit : value) size = size * 10 + (digit - '0');
        facts->size = size;
      } else if (key == "modify") {
        facts->modified = std::string(value);
      }
    }
    start = end + 1;
  }
  facts->listed =
      (type == "dir" || type == "cdir" || type == "pdir") ? ListedAs::kDirectory : ListedAs::kFile;
}

std::string_view LastComponent(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

NameFacts FactsInMachineListing(std::string_view listing, std::string_view name) {
  NameFacts found;
  ForEachLine(listing, [&](std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || line.substr(space + 1) != name) return;
    found = NameFacts();
    ReadFacts(line.substr(0, space), &found);
  });
  return found;
}

bool FactsInMachineEntry(std::string_view reply_lines, NameFacts* facts) {
  bool found = false;
  ForEachLine(reply_lines, [&](std::string_view line) {
    if (found || line.size() < 2 || line[0] != ' ') return;
    line.remove_prefix(1);
    const size_t space = line.find(' ');
    *facts = NameFacts();
    ReadFacts(space == std::string_view::npos ? line : line.substr(0, space), facts);
    found = true;
  });
  return found;
}

ListedAs FindInMachineListing(std::string_view listing, std::string_view name) {
  return FactsInMachineListing(listing, name).listed;
}

bool NameListHas(std::string_view listing, std::string_view name) {
  bool found = false;
  ForEachLine(listing, [&](std::string_view line) {
    if (line == name || LastComponent(line) == name) found = true;
  });
  return found;
}

bool NameListShowsDotEntries(std::string_view listing) {
  bool shown = false;
  ForEachLine(listing, [&](std::string_view line) {
    const std::string_view last = LastComponent(line);
    if (last == "." || last == "..") shown = true;
  });
  return shown;
}

}  // namespace zuno
