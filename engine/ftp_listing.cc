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

// The value of the "type" fact among "fact=value;" pairs, lower-cased.
std::string TypeFact(std::string_view facts) {
  size_t start = 0;
  while (start < facts.size()) {
    size_t end = facts.find(';', start);
    if (end == std::string_view::npos) end = facts.size();
    const std::string_view fact = facts.substr(start, end - start);
    const size_t equals = fact.find('=');
    if (equals != std::string_view::npos && Lowered(fact.substr(0, equals)) == "type") {
      return Lowered(fact.substr(equals + 1));
    }
    start = end + 1;
  }
  return "";
}

std::string_view LastComponent(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

ListedAs FindInMachineListing(std::string_view listing, std::string_view name) {
  ListedAs found = ListedAs::kAbsent;
  ForEachLine(listing, [&](std::string_view line) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || line.substr(space + 1) != name) return;
    const std::string type = TypeFact(line.substr(0, space));
    found = (type == "dir" || type == "cdir" || type == "pdir") ? ListedAs::kDirectory
                                                                : ListedAs::kFile;
  });
  return found;
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
