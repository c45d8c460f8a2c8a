#include "sftp/host_keys.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace kestova {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// "ssh-ed25519" is ED25519, "ecdsa-sha2-nistp256" ECDSA, "ssh-rsa" RSA.
std::string TypeName(const std::string& algorithm) {
  if (algorithm.rfind("ssh-", 0) == 0) return Upper(algorithm.substr(4));
  return Upper(algorithm.substr(0, algorithm.find('-')));
}

}  // namespace

std::string HostKeyFingerprint(const std::string& base64_key) {
  std::string blob(base64_key.size(), '\0');
  const int size =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(blob.data()),
                      reinterpret_cast<const unsigned char*>(base64_key.data()), static_cast<int>(base64_key.size()));
  if (size < 0) return std::string();
  // The decoder counts the padding as bytes; they are not the key's.
  size_t length = static_cast<size_t>(size);
  for (size_t i = base64_key.size(); i > 0 && base64_key[i - 1] == '='; --i) --length;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  EVP_Digest(blob.data(), length, digest, &digest_size, EVP_sha256(), nullptr);
  std::string text(4 * ((digest_size + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), digest, static_cast<int>(digest_size));
  text.resize(static_cast<size_t>(written));
  while (!text.empty() && text.back() == '=') text.pop_back();
  return "SHA256:" + text;
}

SshDestination ReadSshDestination(const std::string& settings, const std::string& host) {
  SshDestination destination;
  destination.host = host;
  std::istringstream lines(settings);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, value;
    if (!(fields >> name >> value)) continue;
    if (name == "hostname") {
      destination.host = value;
    } else if (name == "port") {
      destination.port = value;
    } else if (name == "hostkeyalias") {
      destination.key_alias = value;
    } else if ((name == "proxyjump" || name == "proxycommand") && value != "none") {
      destination.proxied = true;
    }
  }
  return destination;
}

std::vector<ScannedHostKey> ScanHostKeys(const std::string& host, const std::string& port, std::string& why) {
  std::vector<ScannedHostKey> keys;
  // ssh's configuration first: a host alias names another host and port.
  QProcess config;
  QStringList config_args = {"-G"};
  if (!port.empty()) config_args << "-p" << QString::fromStdString(port);
  config_args << "--" << QString::fromStdString(host);
  config.start("ssh", config_args);
  config.closeWriteChannel();
  if (!config.waitForFinished(10000) || config.exitCode() != 0) {
    why = "ssh could not read its configuration for " + host + " (is openssh-client installed?)";
    return keys;
  }
  const SshDestination destination = ReadSshDestination(config.readAllStandardOutput().toStdString(), host);
  if (destination.proxied) {
    why = "ssh reaches " + host +
          " through a proxy (ProxyJump or ProxyCommand), which ssh-keyscan cannot follow: connect once with ssh to "
          "trust its key";
    return keys;
  }
  QProcess scan;
  QStringList args = {"-T", "10"};
  if (!destination.port.empty()) args << "-p" << QString::fromStdString(destination.port);
  args << "--" << QString::fromStdString(destination.host);
  scan.start("ssh-keyscan", args);
  if (!scan.waitForStarted(5000)) {
    why = "ssh-keyscan could not be started (is openssh-client installed?)";
    return keys;
  }
  scan.closeWriteChannel();
  scan.waitForFinished(20000);
  std::istringstream lines(scan.readAllStandardOutput().toStdString());
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, algorithm, key;
    if (!(fields >> name >> algorithm >> key)) continue;
    // Under the alias where one is set, with the port as ssh writes it.
    if (!destination.key_alias.empty()) {
      name = destination.port.empty() || destination.port == "22"
                 ? destination.key_alias
                 : "[" + destination.key_alias + "]:" + destination.port;
    }
    keys.push_back({name + " " + algorithm + " " + key, TypeName(algorithm), HostKeyFingerprint(key)});
  }
  if (keys.empty()) {
    const std::string said = scan.readAllStandardError().toStdString();
    why = "no host key came from " + host + (said.empty() ? std::string() : ": " + said);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
  }
  return keys;
}

bool TrustHostKeys(const std::string& file, const std::vector<ScannedHostKey>& keys, std::string& why) {
  namespace fs = std::filesystem;
  const fs::path path(file);
  std::error_code error;
  if (!path.parent_path().empty() && !fs::exists(path.parent_path())) {
    fs::create_directories(path.parent_path(), error);
    ::chmod(path.parent_path().c_str(), 0700);
  }
  std::set<std::string> held;
  {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) held.insert(line);
  }
  const bool fresh = !fs::exists(path);
  std::ofstream out(file, std::ios::app);
  if (!out) {
    why = "cannot write " + file;
    return false;
  }
  if (fresh) ::chmod(file.c_str(), 0600);
  for (const ScannedHostKey& key : keys) {
    if (!held.count(key.line)) out << key.line << '\n';
  }
  out.close();
  if (!out) {
    why = "cannot write " + file;
    return false;
  }
  return true;
}

bool TrustShownHostKey(const std::string& file, const std::string& host, const std::string& port,
                       const std::string& shown, std::string& why) {
  for (const ScannedHostKey& key : ScanHostKeys(host, port, why)) {
    if (key.type + " " + key.fingerprint == shown) return TrustHostKeys(file, {key}, why);
  }
  if (why.empty()) why = host + " no longer shows the host key " + shown + ": nothing was stored";
  return false;
}

}  // namespace kestova
