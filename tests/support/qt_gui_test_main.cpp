// The main of the window tests: a QApplication (offscreen, set by ctest), and
// host names looked up in /etc/hosts only.
#include <QApplication>

#include <gtest/gtest.h>

#include "support/leak_check.h"
#include "support/temp_dir.h"

extern "C" int __nss_configure_lookup(const char* database, const char* service_line);

int main(int argc, char** argv) {
  __nss_configure_lookup("hosts", "files");
  // Without a display a QApplication aborts; listing the tests needs none.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  // Saved run logs go to a folder of this test program, never the user's.
  const kestova::testing::TempDir state;
  ::setenv("XDG_STATE_HOME", state.Path().c_str(), 1);
  kestova::testing::LeakCheck::Install();
  return RUN_ALL_TESTS();
}
