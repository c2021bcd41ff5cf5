#include <gtest/gtest.h>

#include "common/display.h"

int main(int argc, char** argv) {
  testutil::SetUpWindowTests(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  int r = RUN_ALL_TESTS();
  testutil::TearDownWindowTests();
  return r;
}
