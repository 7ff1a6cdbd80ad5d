// Looks names up in arbitrary machine listings (MLSD) and name lists (NLST), and
// checks that an entry for the name is always found as what it says, that entries
// for other names and the form of the line ends change nothing.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/ftp_listing.h"
#include "engine/ftp_paths.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::FindInMachineListing;
using zuno::ListedAs;
using zuno::NameListHas;
using zuno::NameListShowsDotEntries;

// The listing with every LF made CR LF.
std::string WithCrLf(std::string_view listing) {
  std::string converted;
  for (const char c : listing) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

void CheckMachineListing(const std::string& listing, const std::string& name, bool upper_case) {
  const ListedAs found = FindInMachineListing(listing, name);
  if (found != ListedAs::kAbsent) FUZZ_CHECK(listing.find(name) != std::string::npos);

  // A last entry for the name decides, whatever stood before it; the fact names
  // and the type are read in any case.
  const std::string file_entry = upper_case ? "TYPE=FILE;SIZE=1; " : "type=file;size=1; ";
  const std::string dir_entry = upper_case ? "Type=Dir;Modify=20240101000000; " : "type=dir; ";
  FUZZ_CHECK(FindInMachineListing(listing + "\n" + file_entry + name, name) == ListedAs::kFile);
  FUZZ_CHECK(FindInMachineListing(listing + "\n" + dir_entry + name + "\r\n", name) ==
             ListedAs::kDirectory);
  FUZZ_CHECK(FindInMachineListing(listing + "\ntype=cdir; " + name, name) == ListedAs::kDirectory);

  // Entries for other names, even ones that begin or end like it, change nothing.
  // (Appended after a bare LF, which ends a last line cut after its CR as well.)
  const std::string others =
      "\ntype=dir; " + name + "x\r\ntype=file; x" + name + "\r\ntype=dir; " + name + " \r\n";
  FUZZ_CHECK(FindInMachineListing(listing + others, name) == found);

  // CR LF and LF alone end lines alike.
  if (listing.find('\r') == std::string::npos) {
    FUZZ_CHECK(FindInMachineListing(WithCrLf(listing), name) == found);
  }
}

void CheckNameList(const std::string& listing, const std::string& name) {
  const bool has = NameListHas(listing, name);
  const bool dots = NameListShowsDotEntries(listing);
  if (has) FUZZ_CHECK(listing.find(name) != std::string::npos);
  if (listing.find('.') == std::string::npos) FUZZ_CHECK(!dots);

  // The name alone or after a directory is found.
  FUZZ_CHECK(NameListHas(listing + "\n" + name, name));
  FUZZ_CHECK(NameListHas(listing + "\n/srv/books/" + name + "\r\n", name));
  FUZZ_CHECK(NameListShowsDotEntries(listing + "\n.\r\n"));
  FUZZ_CHECK(NameListShowsDotEntries(listing + "\nsub/.."));

  // Other names change nothing.
  const std::string others = "\n" + name + "x\r\nx" + name + "\r\n" + name + "/\r\n" + name +
                             " \r\n" + name + "/" + name + "x\r\n";
  FUZZ_CHECK(NameListHas(listing + others, name) == has);

  if (listing.find('\r') == std::string::npos) {
    FUZZ_CHECK(NameListHas(WithCrLf(listing), name) == has);
    FUZZ_CHECK(NameListShowsDotEntries(WithCrLf(listing)) == dots);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const bool upper_case = input.ConsumeBool();
  const std::string name = input.ConsumeRandomLengthString(64);
  const std::string listing = input.ConsumeRemainingBytesAsString();

  // The engine looks up only names it accepts as ServerFile.
  std::string problem;
  if (!zuno::IsUsableServerName(name, &problem)) return 0;
  CheckMachineListing(listing, name, upper_case);
  CheckNameList(listing, name);
  return 0;
}
