#pragma once

#include <string>
#include <string_view>

namespace zuno {

// What a directory listing says about one name.
enum class ListedAs { kAbsent, kFile, kDirectory };

// What a machine listing (MLSD) or a machine entry (MLST) tells of one name.
struct NameFacts {
  ListedAs listed = ListedAs::kAbsent;
  long long size = -1;   // the "size" fact, -1 when not given
  std::string modified;  // the "modify" fact as the server wrote it, empty when not given
};

// The facts of the name in a machine listing; listed is kAbsent when the name is not
// in it. Names are compared byte for byte; the last entry of a name counts.
NameFacts FactsInMachineListing(std::string_view listing, std::string_view name);

// The facts of the entry in an MLST reply (its lines, the entry line being the one
// that begins with a blank); false when the reply holds no entry.
bool FactsInMachineEntry(std::string_view reply_lines, NameFacts* facts);

// Looks a name up in a machine listing (the MLSD reply: "fact=value;...; name"
// lines). Names are compared byte for byte; entries whose type fact is dir, cdir or
// pdir are directories, every other entry counts as a file.
ListedAs FindInMachineListing(std::string_view listing, std::string_view name);

// Whether a name list (the NLST reply: one name a line, perhaps with a directory
// before a '/') holds the name, compared byte for byte.
bool NameListHas(std::string_view listing, std::string_view name);

// Whether a name list shows the "." or ".." entries, which a server only lists
// when it shows the names that begin with a dot.
bool NameListShowsDotEntries(std::string_view listing);

}  // namespace zuno
