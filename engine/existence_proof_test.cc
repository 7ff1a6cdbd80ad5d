#include "engine/existence_proof.h"

#include <gtest/gtest.h>

#include <string>

namespace zuno {
namespace {

using Verdict = ExistenceVerdict;

// Evidence from commands on the exact name (MLST, SIZE, MDTM, RETR) and a listing.
struct NameCase {
  const char* label;
  NameEvidence evidence;
  Verdict verdict;
};

class DecideExistenceTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(DecideExistenceTest, AbsentOnlyWhenListingAndANameCommandAgree) {
  EXPECT_EQ(DecideExistence(GetParam().evidence), GetParam().verdict);
}

constexpr ListedAs kAbsent = ListedAs::kAbsent;
constexpr NameProbe kNotAsked = NameProbe::kNotAsked;
constexpr NameProbe kPlain = NameProbe::kPlainFile;
constexpr NameProbe kDir = NameProbe::kDirectory;
constexpr NameProbe kThere = NameProbe::kExists;
constexpr NameProbe kNone = NameProbe::kNoSuchFile;
constexpr NameProbe kUnknown = NameProbe::kUnknownCommand;
constexpr NameProbe kUnclear = NameProbe::kUnclear;

INSTANTIATE_TEST_SUITE_P(
    Evidence, DecideExistenceTest,
    ::testing::Values(
        // One command on the name proves presence; no listing is needed.
        NameCase{"MlstFile", {kPlain}, Verdict::kPresent},
        NameCase{"SizeFile", {kUnknown, kPlain, kUnknown}, Verdict::kPresent},
        NameCase{"MdtmThere", {kUnknown, kUnknown, kThere}, Verdict::kPresent},
        NameCase{
            "RetrBegan", {kUnknown, kUnknown, kUnknown, kPlain, true, kAbsent}, Verdict::kPresent},
        // A listing that hides the file is outweighed by a command that shows it.
        NameCase{"HiddenButMlst",
                 {kPlain, kNotAsked, kNotAsked, kNotAsked, true, kAbsent},
                 Verdict::kPresent},
        NameCase{"HiddenButMdtm",
                 {kUnknown, kUnknown, kThere, kNotAsked, true, kAbsent},
                 Verdict::kPresent},
        // Absence needs both: a complete listing without the name, and a 550.
        NameCase{
            "MlstNone", {kNone, kNotAsked, kNotAsked, kNotAsked, true, kAbsent}, Verdict::kAbsent},
        NameCase{
            "SizeNone", {kUnknown, kNone, kUnknown, kNotAsked, true, kAbsent}, Verdict::kAbsent},
        NameCase{
            "RetrNone", {kUnknown, kUnknown, kUnknown, kNone, true, kAbsent}, Verdict::kAbsent},
        NameCase{"NoneWithoutListing", {kNone}, Verdict::kDoubt},
        NameCase{"NoneIncompleteListing",
                 {kNone, kNotAsked, kNotAsked, kNotAsked, false, kAbsent},
                 Verdict::kDoubt},
        // "Not implemented" proves nothing, whatever the listing says.
        NameCase{"NothingKnown",
                 {kUnknown, kUnknown, kUnknown, kNotAsked, true, kAbsent},
                 Verdict::kDoubt},
        NameCase{
            "Unclear", {kUnclear, kUnclear, kUnclear, kUnclear, true, kAbsent}, Verdict::kDoubt},
        // A listed file with no command to deny it is there; a denial is a doubt.
        NameCase{"ListedOnly",
                 {kUnknown, kUnknown, kUnknown, kNotAsked, true, ListedAs::kFile},
                 Verdict::kPresent},
        NameCase{"ListedButNone",
                 {kUnknown, kNone, kUnknown, kNotAsked, true, ListedAs::kFile},
                 Verdict::kDoubt},
        NameCase{
            "SizeDeniesMdtm", {kUnknown, kNone, kThere, kNotAsked, true, kAbsent}, Verdict::kDoubt},
        // A directory is never the file.
        NameCase{"MlstDirectory", {kDir}, Verdict::kNotAFile},
        NameCase{"ListedDirectory",
                 {kUnknown, kNone, kThere, kNotAsked, true, ListedAs::kDirectory},
                 Verdict::kNotAFile}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ReplyTextTest, CodeAndNumberComeFromTheClosingLine) {
  EXPECT_EQ(ReplyCode("213 1234"), 213);
  EXPECT_EQ(ReplyCode("550 No such file.\r\n"), 550);
  EXPECT_EQ(ReplyCode("211-Features:\r\n MDTM\r\n SIZE\r\n211 End\r\n"), 211);
  EXPECT_EQ(ReplyCode("226"), 226);
  EXPECT_EQ(ReplyCode(""), 0);
  EXPECT_EQ(ReplyCode("garbage"), 0);
  EXPECT_EQ(ReplyCode("12 short"), 0);

  long long number = -1;
  EXPECT_TRUE(ReplyNumber("213 300000", &number));
  EXPECT_EQ(number, 300000);
  EXPECT_TRUE(ReplyNumber("213 0\r\n", &number));
  EXPECT_EQ(number, 0);
  number = -1;
  EXPECT_FALSE(ReplyNumber("213 ", &number));
  EXPECT_FALSE(ReplyNumber("213 size unknown", &number));
  EXPECT_FALSE(ReplyNumber("", &number));
  EXPECT_FALSE(ReplyNumber("213 99999999999999999999999", &number));
  EXPECT_EQ(number, -1);
}

}  // namespace
}  // namespace zuno
