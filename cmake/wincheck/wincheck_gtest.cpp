#include <gtest/gtest.h>

#include <atomic>
#include <thread>

TEST(Toolchain, RunsTests) { EXPECT_EQ(6 * 7, 42); }

TEST(Toolchain, RunsThreads) {
  std::atomic<int> n{0};
  std::thread t([&] { n = 1; });
  t.join();
  EXPECT_EQ(n.load(), 1);
}
