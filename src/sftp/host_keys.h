// Host keys a user chose to trust for SFTP sites, kept in Kestova's own
// known_hosts file (beside the profile store), in OpenSSH's format so that
// ssh checks them as it checks the user's own file.
#pragma once

#include <string>
#include <vector>

namespace kestova {

struct ScannedHostKey {
  std::string line;         // as known_hosts holds it: "[host]:port type base64"
  std::string type;         // "ED25519", "ECDSA", "RSA"
  std::string fingerprint;  // "SHA256:..." as ssh prints it
};

// Where ssh would connect for `host` and `port` (empty: ssh's own), as
// `ssh -G` prints its settings: ~/.ssh/config's HostName, Port and
// HostKeyAlias applied, and whether a ProxyJump or ProxyCommand leads there.
struct SshDestination {
  std::string host, port;
  std::string key_alias;  // the name known_hosts holds the key under, when set
  bool proxied = false;
};
SshDestination ReadSshDestination(const std::string& settings, const std::string& host);

// The host's keys as ssh-keyscan reads them (no login, no user name sent),
// at the address ssh's configuration gives for the host, and named as ssh
// looks them up; nothing, with the reason, when none came, or when the host
// is reached through a proxy, which ssh-keyscan cannot follow.
std::vector<ScannedHostKey> ScanHostKeys(const std::string& host, const std::string& port, std::string& why);

// The SHA-256 fingerprint of a key given in base64, as ssh prints it.
std::string HostKeyFingerprint(const std::string& base64_key);

// Adds the keys' lines that the file does not hold yet (the file and its
// folder made private when new); false, with the reason, when it cannot.
bool TrustHostKeys(const std::string& file, const std::vector<ScannedHostKey>& keys, std::string& why);

// Reads the host's keys again and trusts the one a refused connect showed
// (`shown` as "ED25519 SHA256:..."), so that what is stored is the key the
// user compared; false, with the reason, when the host no longer shows it.
bool TrustShownHostKey(const std::string& file, const std::string& host, const std::string& port,
                       const std::string& shown, std::string& why);

}  // namespace kestova
