// The main of every test program that needs Qt's event loop. Host names are
// looked up in /etc/hosts only, so that no test ever asks a name server.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include "support/leak_check.h"
#include "support/temp_dir.h"

extern "C" int __nss_configure_lookup(const char* database, const char* service_line);

int main(int argc, char** argv) {
  __nss_configure_lookup("hosts", "files");
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  // Saved run logs go to a folder of this test program, never the user's.
  const kestova::testing::TempDir state;
  ::setenv("XDG_STATE_HOME", state.Path().c_str(), 1);
  kestova::testing::LeakCheck::Install();
  return RUN_ALL_TESTS();
}
