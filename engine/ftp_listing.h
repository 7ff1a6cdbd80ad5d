#pragma once

#include <string_view>

namespace zuno {

// What a directory listing says about one name.
enum class ListedAs { kAbsent, kFile, kDirectory };

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
