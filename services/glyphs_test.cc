#include "services/glyphs.h"

#include <gtest/gtest.h>

#include <string>

namespace zuno {
namespace {

using namespace std::string_literals;

TEST(ScreenTextTest, ControlBytesBecomeIbmPcGlyphs) {
  EXPECT_EQ(ScreenText("\0"s), " ");
  EXPECT_EQ(ScreenText("\x01"), "☺");
  EXPECT_EQ(ScreenText("\x07"), "•");
  EXPECT_EQ(ScreenText("\x08"), "◘");
  EXPECT_EQ(ScreenText("\x09"), "○");
  EXPECT_EQ(ScreenText("\x0a"), "◙");
  EXPECT_EQ(ScreenText("\x0d"), "♪");
  EXPECT_EQ(ScreenText("\x1a"), "→");
  EXPECT_EQ(ScreenText("\x1b"), "←");
  EXPECT_EQ(ScreenText("\x1f"), "▼");
  EXPECT_EQ(ScreenText("\x7f"), "⌂");
  EXPECT_EQ(ScreenText("line one\r\nline two"), "line one♪◙line two");
}

TEST(ScreenTextTest, NoControlByteSurvives) {
  std::string every_byte;
  for (int byte = 0; byte < 256; ++byte) every_byte += static_cast<char>(byte);
  const std::string shown = ScreenText(every_byte);
  for (char c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE(byte < 0x20 || byte == 0x7F) << static_cast<int>(byte);
  }
}

TEST(ScreenTextTest, OtherBytesPassUnchanged) {
  EXPECT_EQ(ScreenText(""), "");
  EXPECT_EQ(ScreenText("ERROR -3 C:\\dir ~!"), "ERROR -3 C:\\dir ~!");
  EXPECT_EQ(ScreenText("\x80\x81\xff"), "\x80\x81\xff");
}

TEST(CodePage437ByteTest, FindsTheUpperHalfOnly) {
  EXPECT_EQ(CodePage437Byte(U'Ç'), 0x80);
  EXPECT_EQ(CodePage437Byte(U'ü'), 0x81);
  EXPECT_EQ(CodePage437Byte(U'Ü'), 0x9A);
  EXPECT_EQ(CodePage437Byte(U'₧'), 0x9E);
  EXPECT_EQ(CodePage437Byte(U'█'), 0xDB);
  EXPECT_EQ(CodePage437Byte(U'ß'), 0xE1);
  EXPECT_EQ(CodePage437Byte(U'■'), 0xFE);
  EXPECT_EQ(CodePage437Byte(0x00A0), 0xFF);
  EXPECT_EQ(CodePage437Byte(U'A'), 0);
  EXPECT_EQ(CodePage437Byte(U'☺'), 0);  // shown for a control code, never typed as one
  EXPECT_EQ(CodePage437Byte(U'€'), 0);
  EXPECT_EQ(CodePage437Byte(0x1F600), 0);
}

}  // namespace
}  // namespace zuno
