// The piped child process of the resolver lookup.
#include <gtest/gtest.h>

#include "platform/spawn.h"

TEST(PipedProcess, ReadsOutputAndErrorUntilTheChildEnds) {
  plat::PipedProcess p;
  ASSERT_TRUE(p.Start(u"sh -c \"echo out; echo err >&2; printf tail\""));
  std::string all;
  char buf[7];
  long n;
  while ((n = p.Read(buf, sizeof buf)) > 0) all.append(buf, (size_t)n);
  p.Close();
  EXPECT_EQ(all, "out\nerr\ntail");
  EXPECT_FALSE(p.Start(u"quillup-no-such-program-here arg"));
  EXPECT_FALSE(p.Start(u""));
}
