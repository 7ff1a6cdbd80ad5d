// Decides the existence of a server file from arbitrary evidence and reads the code
// and number of arbitrary reply texts. Checks that absence is never declared
// without a complete listing that lacks the name and a command on the name that
// says there is no such file, that "not implemented" proves nothing, and that a
// reply's closing line decides.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/existence_proof.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::DecideExistence;
using zuno::ExistenceVerdict;
using zuno::ListedAs;
using zuno::NameEvidence;
using zuno::NameProbe;
using zuno::ProbeOfReply;

constexpr NameProbe kProbes[] = {
    NameProbe::kNotAsked,   NameProbe::kPlainFile,      NameProbe::kDirectory, NameProbe::kExists,
    NameProbe::kNoSuchFile, NameProbe::kUnknownCommand, NameProbe::kUnclear};

NameEvidence ConsumeEvidence(FuzzedDataProvider& input) {
  NameEvidence evidence;
  evidence.machine_entry = input.PickValueInArray(kProbes);
  evidence.size = input.PickValueInArray(kProbes);
  evidence.modification_time = input.PickValueInArray(kProbes);
  evidence.retrieve = input.PickValueInArray(kProbes);
  evidence.listing_complete = input.ConsumeBool();
  evidence.listed =
      input.PickValueInArray({ListedAs::kAbsent, ListedAs::kFile, ListedAs::kDirectory});
  return evidence;
}

bool AnyProbe(const NameEvidence& evidence, NameProbe probe) {
  return evidence.machine_entry == probe || evidence.size == probe ||
         evidence.modification_time == probe || evidence.retrieve == probe;
}

void CheckVerdict(const NameEvidence& evidence) {
  const ExistenceVerdict verdict = DecideExistence(evidence);
  // A directory is never the file, whoever shows it.
  const bool directory =
      AnyProbe(evidence, NameProbe::kDirectory) || evidence.listed == ListedAs::kDirectory;
  FUZZ_CHECK((verdict == ExistenceVerdict::kNotAFile) == directory);
  // Absent only when a complete listing lacks the name and a command on the name
  // said there is no such file, and nothing showed it.
  if (verdict == ExistenceVerdict::kAbsent) {
    FUZZ_CHECK(evidence.listing_complete && evidence.listed == ListedAs::kAbsent);
    FUZZ_CHECK(AnyProbe(evidence, NameProbe::kNoSuchFile));
    FUZZ_CHECK(!AnyProbe(evidence, NameProbe::kPlainFile));
    FUZZ_CHECK(!AnyProbe(evidence, NameProbe::kExists));
  }
  // Present only when something showed it.
  if (verdict == ExistenceVerdict::kPresent) {
    FUZZ_CHECK(AnyProbe(evidence, NameProbe::kPlainFile) ||
               AnyProbe(evidence, NameProbe::kExists) || evidence.listed == ListedAs::kFile);
  }
  // "Not implemented" and unclear answers prove nothing: taking them away, or
  // adding them, never turns a doubt into a verdict of absence.
  NameEvidence weaker = evidence;
  for (NameProbe* probe :
       {&weaker.machine_entry, &weaker.size, &weaker.modification_time, &weaker.retrieve}) {
    if (*probe == NameProbe::kNoSuchFile) *probe = NameProbe::kUnknownCommand;
  }
  FUZZ_CHECK(DecideExistence(weaker) != ExistenceVerdict::kAbsent);
  // An incomplete listing can never prove absence.
  NameEvidence incomplete = evidence;
  incomplete.listing_complete = false;
  FUZZ_CHECK(DecideExistence(incomplete) != ExistenceVerdict::kAbsent);
}

void CheckProbeOfReply(int reply, bool directory) {
  const NameProbe probe = ProbeOfReply(reply, directory);
  if (probe == NameProbe::kUnknownCommand) FUZZ_CHECK(reply >= 500 && reply <= 504);
  if (probe == NameProbe::kNoSuchFile) FUZZ_CHECK(reply == 550);
  if (probe == NameProbe::kDirectory) FUZZ_CHECK(reply == 250 && directory);
  FUZZ_CHECK(probe != NameProbe::kNotAsked && probe != NameProbe::kExists);
}

void CheckReplyText(const std::string& text, int closing_code, long long closing_number) {
  const int code = zuno::ReplyCode(text);
  FUZZ_CHECK(code >= 0 && code <= 999);
  // Line ends after the closing line change nothing.
  FUZZ_CHECK(zuno::ReplyCode(text + "\r\n") == code);
  FUZZ_CHECK(zuno::ReplyCode(text + "\n\r\n") == code);
  // Lines that are no closing line change nothing: a continuation, an indented one.
  // (A last line that ends in several CRs is a closing line only at the very end.)
  if (text.find("\r\r") == std::string::npos) {
    FUZZ_CHECK(zuno::ReplyCode(text + "\n211-Features:\r\n 213 x\r\n12 short\r\n") == code);
  }

  constexpr long long kUntouched = -12345;
  long long number = kUntouched;
  if (zuno::ReplyNumber(text, &number)) {
    FUZZ_CHECK(number >= 0);
    FUZZ_CHECK(text.find(std::to_string(number)) != std::string::npos);
  } else {
    FUZZ_CHECK(number == kUntouched);
  }

  // A closing line after any text decides the code and the number.
  const std::string closing = std::to_string(closing_code) + " " + std::to_string(closing_number);
  const std::string closed = text + "\n" + closing + "\r\n";
  FUZZ_CHECK(zuno::ReplyCode(closed) == closing_code);
  number = kUntouched;
  FUZZ_CHECK(zuno::ReplyNumber(closed, &number) && number == closing_number);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const NameEvidence evidence = ConsumeEvidence(input);
  const int reply = input.ConsumeIntegralInRange(0, 999);
  const bool directory = input.ConsumeBool();
  const int closing_code = input.ConsumeIntegralInRange(100, 999);
  const long long closing_number = input.ConsumeIntegralInRange<long long>(0, 1LL << 52);
  CheckVerdict(evidence);
  CheckProbeOfReply(reply, directory);
  CheckReplyText(input.ConsumeRemainingBytesAsString(), closing_code, closing_number);
  return 0;
}
