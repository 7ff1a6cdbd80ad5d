#include "services/text_forms.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace zuno {
namespace {

TEST(NumberTextTest, HasASignPositionAndNoPadding) {
  EXPECT_EQ(NumberText(-3), "-3");
  EXPECT_EQ(NumberText(3), " 3");
  EXPECT_EQ(NumberText(0), " 0");
  EXPECT_EQ(NumberText(-32768), "-32768");
  EXPECT_EQ(NumberText(INT32_MIN), "-2147483648");
}

TEST(PrintedNumberTest, AddsOneTrailingBlank) {
  EXPECT_EQ(PrintedNumber(-12), "-12 ");
  EXPECT_EQ(PrintedNumber(5), " 5 ");
  EXPECT_EQ(PrintedNumber(0), " 0 ");
}

TEST(UpperTextTest, RaisesAsciiAndCodePage437Letters) {
  EXPECT_EQ(UpperText("y"), "Y");
  EXPECT_EQ(UpperText("Y"), "Y");
  EXPECT_EQ(UpperText("abc-XYZ 09"), "ABC-XYZ 09");
  EXPECT_EQ(UpperText("\x84\x94\x81\x82\xA4\x86\x87"), "\x8E\x99\x9A\x90\xA5\x8F\x80");
  EXPECT_EQ(UpperText(std::string("\0\x3B", 2)), std::string("\0\x3B", 2));
}

TEST(UpperTextTest, NoOtherSingleByteBecomesY) {
  for (int byte = 0; byte < 256; ++byte) {
    if (byte == 'y' || byte == 'Y') continue;
    EXPECT_NE(UpperText(std::string(1, static_cast<char>(byte))), "Y") << byte;
  }
}

}  // namespace
}  // namespace zuno
