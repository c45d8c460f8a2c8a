// The main of the test programs that need no event loop.
#include <gtest/gtest.h>

#include "support/leak_check.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  kestova::testing::LeakCheck::Install();
  return RUN_ALL_TESTS();
}
