#include <gtest/gtest.h>

#include "base/text.h"

TEST(Text, ChineseRoundTripsThroughGbkAndUtf8) {
  WString w = u"升级程序启动";
  std::string gbk = GbkFromWide(w);
  EXPECT_EQ(gbk, std::string("\xC9\xFD\xBC\xB6\xB3\xCC\xD0\xF2\xC6\xF4\xB6\xAF"));
  EXPECT_EQ(WideFromGbk(gbk), w);
  std::string utf8 = Utf8FromWide(w);
  EXPECT_EQ(WideFromUtf8(utf8), w);
  EXPECT_EQ(Utf8FromGbk(gbk), utf8);
  EXPECT_EQ(GbkFromUtf8(utf8), gbk);
}

TEST(Text, FailedConversionsAreEmpty) {
  EXPECT_EQ(WideFromUtf8("ab\xC3"), u"");          // truncated sequence
  EXPECT_EQ(WideFromUtf8("\xED\xA0\x80"), u"");    // encoded surrogate
  EXPECT_EQ(WideFromGbk("\x81"), u"");              // lone lead byte
  EXPECT_EQ(Utf8FromWide(WString(1, (char16_t)0xD800)), "");
  EXPECT_EQ(WideFromUtf8(""), u"");
}

TEST(Text, UnrepresentableCharactersBecomeQuestionMarks) {
  WString w = u"a\u00e9\U0001F600b";  // é is in 936? no; emoji never
  EXPECT_FALSE(IsGbkRepresentable(u"\U0001F600"));
  std::string g = GbkFromWide(w);
  EXPECT_EQ(g.front(), 'a');
  EXPECT_EQ(g.back(), 'b');
  std::string native;
  EXPECT_FALSE(NativePath(u"/tmp/\U0001F600.log", native));
  EXPECT_TRUE(NativePath(u"/tmp/中文.log", native));
  EXPECT_EQ(native, "/tmp/\xE4\xB8\xAD\xE6\x96\x87.log");
}

TEST(Text, EscapedAscii) {
  EXPECT_EQ(EscapedFromWide(u"\u4e2dA"), "\\u4e2dA");
  EXPECT_EQ(EscapedFromWide(u"\u00e9"), "\xE9");
  EXPECT_EQ(EscapedFromGbk("\xD6\xD0"), "\\u4e2d");
}

TEST(Text, NumberParsingFollowsTheCRuntime) {
  EXPECT_EQ(WToInt(u"12abc"), 12);
  EXPECT_EQ(WToInt(u"-3"), -3);
  EXPECT_EQ(WToInt(u"abc"), 0);
  EXPECT_EQ(WToInt(u"  42"), 42);
  EXPECT_EQ(WToInt(u"99999999999"), 2147483647);
  EXPECT_EQ(WToUlongHex(u"0xFF"), 0xFFu);
  EXPECT_EQ(WToUlongHex(u"d2d2d2zz"), 0xD2D2D2u);
  EXPECT_EQ(WToUlongHex(u"zz"), 0u);
  EXPECT_EQ(WToUlongHex(u"0x"), 0u);
}

TEST(Text, Utf16UnitsAndByteOrderMarks) {
  WString w;
  AppendUtf16(w, 0x4E2D);
  AppendUtf16(w, 0x1F600);
  EXPECT_EQ(w, u"中😀");
  EXPECT_EQ(Utf16leFromWide(w), std::string("\x2D\x4E\x3D\xD8\x00\xDE", 6));
  EXPECT_EQ(WideFromUtf16le("\x2D\x4E\x41", 3), u"中");  // the odd byte is dropped
  size_t n = 9;
  EXPECT_EQ(SniffBom("\xFF\xFE" "a", n), TextBom::Utf16le);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(SniffBom("\xEF\xBB\xBF" "a", n), TextBom::Utf8);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(SniffBom("\xEF\xBB", n), TextBom::None);
  EXPECT_EQ(n, 0u);
}
