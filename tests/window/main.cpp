#include <gtest/gtest.h>

#include <cstring>

#include "common/display.h"

int SigtermChildMain(int argc, char** argv);  // window_test.cpp

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--sigterm-child") == 0) return SigtermChildMain(argc, argv);
  testutil::SetUpWindowTests(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  int r = RUN_ALL_TESTS();
  testutil::TearDownWindowTests();
  return r;
}
