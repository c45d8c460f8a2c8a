// Reading ssh's own settings for a host (what `ssh -G` prints) and a key's
// fingerprint as ssh shows it.
#include "sftp/host_keys.h"

#include <gtest/gtest.h>

namespace kestova {
namespace {

TEST(HostKeysTest, TheDestinationIsWhatSshsConfigurationMakesOfTheHost) {
  const struct {
    const char* settings;
    const char* host;
    const char* port;
    const char* alias;
    bool proxied;
  } cases[] = {
      {"user me\nhostname 127.0.0.1\nport 2222\nproxyjump none\n", "127.0.0.1", "2222", "", false},
      // A Host alias of ~/.ssh/config: another name, port and key name.
      {"hostname shop.example.net\nport 2200\nhostkeyalias shop\n", "shop.example.net", "2200", "shop", false},
      {"hostname inner\nport 22\nproxyjump gate.example.net\n", "inner", "22", "", true},
      {"hostname inner\nproxycommand ssh -W %h:%p gate\n", "inner", "", "", true},
      {"", "as-given", "", "", false},
  };
  for (const auto& c : cases) {
    const SshDestination destination = ReadSshDestination(c.settings, "as-given");
    EXPECT_EQ(destination.host, c.host) << c.settings;
    EXPECT_EQ(destination.port, c.port) << c.settings;
    EXPECT_EQ(destination.key_alias, c.alias) << c.settings;
    EXPECT_EQ(destination.proxied, c.proxied) << c.settings;
  }
}

TEST(HostKeysTest, AFingerprintIsTheOneSshKeygenPrints) {
  // ssh-keygen -l -E sha256 of this key printed the fingerprint below.
  EXPECT_EQ(HostKeyFingerprint("AAAAC3NzaC1lZDI1NTE5AAAAIDFKAoO1QnJRfkvGh5N8fRg05Smk0kAIQmv4VI0dkquI"),
            "SHA256:kiTjsKcT7oLClDtqCTlyW/6HrJ/DU2P7N5Tzps1jkVc");
  EXPECT_EQ(HostKeyFingerprint("not base64!"), "");
}

}  // namespace
}  // namespace kestova
