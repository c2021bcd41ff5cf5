#include <gtest/gtest.h>

#include "app/cmdline.h"

using namespace quillup;

TEST(CommandLine, ArgumentsAreJoinedAfterTheProgram) {
  const char* argv[] = {"/opt/q/Quillup", "/msgwnd:12", "/replace:/a b/Quillup"};
  EXPECT_EQ(CommandLineFromArgs(3, argv), u"/msgwnd:12 /replace:/a b/Quillup");
  EXPECT_EQ(CommandLineFromArgs(1, argv), u"");
}

TEST(CommandLine, MsgWndReadsLeadingDigits) {
  uint64_t h = 7;
  EXPECT_FALSE(ParseMsgWnd(u"/auto", h));
  EXPECT_EQ(h, 0u);
  EXPECT_TRUE(ParseMsgWnd(u"x /msgwnd:8070450532247928833 /auto", h));
  EXPECT_EQ(h, 8070450532247928833ull);  // a full 64-bit handle
  EXPECT_TRUE(ParseMsgWnd(u"/msgwnd:123abc", h));
  EXPECT_EQ(h, 123u);
  EXPECT_TRUE(ParseMsgWnd(u"/msgwnd:", h));
  EXPECT_EQ(h, 0u);
  EXPECT_TRUE(ParseMsgWnd(u"/msgwnd:-5", h));
  EXPECT_EQ(h, 0u);
  EXPECT_TRUE(ParseMsgWnd(u"/msgwnd:99999999999999999999999", h));
  EXPECT_EQ(h, UINT64_MAX);  // saturates instead of wrapping to another window
  EXPECT_FALSE(ParseMsgWnd(u"/MSGWND:12", h));  // case-sensitive
}

TEST(CommandLine, ReplaceTakesTheRestWithQuotesTrimmed) {
  WString t;
  bool a = false;
  EXPECT_TRUE(ParseReplace(u"/replace:\"/opt/my app/Quillup\"", t, a));
  EXPECT_EQ(t, u"/opt/my app/Quillup");
  EXPECT_TRUE(a);
  EXPECT_TRUE(ParseReplace(u"/replace2:/opt/q/Quillup", t, a));
  EXPECT_EQ(t, u"/opt/q/Quillup");
  EXPECT_FALSE(a);
  // /replace: wins when both are present; its value runs to the end.
  EXPECT_TRUE(ParseReplace(u"/replace2:/x /replace:/y", t, a));
  EXPECT_TRUE(a);
  EXPECT_EQ(t, u"/y");
  EXPECT_TRUE(ParseReplace(u"/replace:\"\"", t, a));
  EXPECT_EQ(t, u"");
  EXPECT_FALSE(ParseReplace(u"/auto /msgwnd:1", t, a));
}

TEST(CommandLine, AutoSwitchesAreSubstrings) {
  EXPECT_TRUE(HasSwitch(u"/auto2", u"/auto"));  // hence /auto2 is tested first
  EXPECT_TRUE(HasSwitch(u"x/auto2y", u"/auto2"));
  EXPECT_FALSE(HasSwitch(u"/AUTO", u"/auto"));
}

TEST(CommandLine, InstanceName) {
  EXPECT_EQ(InstanceNameFromRoot(u"D:\\Trade\\App"), u"d..trade.app~update~");
  EXPECT_EQ(InstanceNameFromRoot(u"C:\\A/B"), u"c..a.b~update~");
  EXPECT_EQ(InstanceNameFromRoot(u"/home/u/Trade App"), u".home.u.trade app~update~");
  EXPECT_EQ(InstanceNameFromRoot(u"  /中文/X  "), u".中文.x~update~");
  EXPECT_NE(InstanceNameFromRoot(u"/a/b"), InstanceNameFromRoot(u"/a/c"));
}
