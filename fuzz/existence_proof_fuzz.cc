// Decides the existence of a server file from arbitrary evidence and reads the code
// and number of arbitrary reply texts. Checks that absence is never declared
// without a listing that lacks the name and a reply that names no file, that a
// reply never asked for changes nothing, and that a reply's closing line decides.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/existence_proof.h"
#include "tests/support/fuzz_check.h"

namespace {

using zuno::ExistenceEvidence;
using zuno::ExistenceVerdict;
using zuno::IsUnknownCommandReply;
using zuno::JudgeExistence;
using zuno::ListedAs;
using zuno::NeedsModificationTime;

// A reply code: mostly the ones servers give to SIZE and MDTM, sometimes any number.
int ConsumeReply(FuzzedDataProvider& input) {
  static constexpr int kReplies[] = {0,   150, 200, 202, 211, 213, 226, 250, 350, 421, 425,
                                     426, 450, 451, 500, 501, 502, 503, 504, 530, 550, 553};
  if (input.ConsumeBool()) return input.ConsumeIntegral<int>();
  return input.PickValueInArray(kReplies);
}

ExistenceEvidence ConsumeEvidence(FuzzedDataProvider& input) {
  ExistenceEvidence evidence;
  evidence.size_reply = ConsumeReply(input);
  evidence.listed =
      input.PickValueInArray({ListedAs::kAbsent, ListedAs::kFile, ListedAs::kDirectory});
  evidence.modification_time_reply = ConsumeReply(input);
  evidence.name_has_blank = input.ConsumeBool();
  return evidence;
}

void CheckVerdict(const ExistenceEvidence& evidence, int other_mdtm_reply) {
  const ExistenceVerdict verdict = JudgeExistence(evidence);
  const bool size_unknown = IsUnknownCommandReply(evidence.size_reply);
  const bool mdtm_unknown = IsUnknownCommandReply(evidence.modification_time_reply);
  const bool listing_alone = size_unknown && mdtm_unknown && !evidence.name_has_blank;

  // Only the "not known" replies count as such.
  if (size_unknown) FUZZ_CHECK(evidence.size_reply >= 500 && evidence.size_reply <= 504);

  // A directory is told by the listing, and only by it.
  FUZZ_CHECK((verdict == ExistenceVerdict::kNotAFile) == (evidence.listed == ListedAs::kDirectory));

  // Absence: the listing lacks the name, and SIZE or MDTM named no file, or the
  // server knows neither and the listing cannot have lost the name.
  if (verdict == ExistenceVerdict::kAbsent) {
    FUZZ_CHECK(evidence.listed == ListedAs::kAbsent);
    FUZZ_CHECK(evidence.size_reply == 550 ||
               (size_unknown && (evidence.modification_time_reply == 550 || listing_alone)));
  }
  // Presence: SIZE or MDTM showed the file, or the listing alone did.
  if (verdict == ExistenceVerdict::kPresent) {
    FUZZ_CHECK(evidence.size_reply == 213 ||
               (size_unknown && (evidence.modification_time_reply == 213 ||
                                 (listing_alone && evidence.listed == ListedAs::kFile))));
  }
  // A plain file with a size is there, however the listing showed it.
  if (evidence.size_reply == 213 && evidence.listed != ListedAs::kDirectory) {
    FUZZ_CHECK(verdict == ExistenceVerdict::kPresent);
  }
  // A reply that proves nothing (busy, closing, none at all) leaves a doubt.
  if (evidence.listed != ListedAs::kDirectory && evidence.size_reply != 213 &&
      evidence.size_reply != 550 && !size_unknown) {
    FUZZ_CHECK(verdict == ExistenceVerdict::kDoubt);
  }

  // MDTM is asked exactly when SIZE is unknown and no directory was listed, and its
  // reply matters only then.
  FUZZ_CHECK(NeedsModificationTime(evidence) ==
             (size_unknown && evidence.listed != ListedAs::kDirectory));
  if (!NeedsModificationTime(evidence)) {
    ExistenceEvidence other = evidence;
    other.modification_time_reply = other_mdtm_reply;
    FUZZ_CHECK(JudgeExistence(other) == verdict);
  }

  // A name with a blank only ever adds doubt.
  ExistenceEvidence blank = evidence;
  blank.name_has_blank = true;
  const ExistenceVerdict with_blank = JudgeExistence(blank);
  FUZZ_CHECK(with_blank == verdict || with_blank == ExistenceVerdict::kDoubt);
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
  const ExistenceEvidence evidence = ConsumeEvidence(input);
  const int other_mdtm_reply = ConsumeReply(input);
  const int closing_code = input.ConsumeIntegralInRange(100, 999);
  const long long closing_number = input.ConsumeIntegralInRange<long long>(0, 1LL << 52);
  CheckVerdict(evidence, other_mdtm_reply);
  CheckReplyText(input.ConsumeRemainingBytesAsString(), closing_code, closing_number);
  return 0;
}
