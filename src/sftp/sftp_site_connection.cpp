#include "sftp/sftp_site_connection.h"

#include <cstdlib>

#include "platform/program_path.h"

namespace kestova {

namespace {

std::string& DefaultAskpass() {
  static std::string program;
  return program;
}

std::string Parent(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool Holds(const std::string& text, const char* words) { return text.find(words) != std::string::npos; }

}  // namespace

void SftpSiteConnection::SetDefaultAskpassProgram(const std::string& path) { DefaultAskpass() = path; }

SftpSiteConnection::SftpSiteConnection(const SiteSettings& site) : site_(site) {}

std::string SftpSiteConnection::Endpoint() const {
  return site_.HostName + " port " + (site_.Port.empty() || site_.Port == "ftp" ? "22" : site_.Port);
}

std::string SftpSiteConnection::PathOf(const std::string& name) const {
  if (!name.empty() && name[0] == '/') return name;
  if (folder_.empty()) return name;
  return (folder_ == "/" ? "/" : folder_ + "/") + name;
}

Outcome SftpSiteConnection::Result(std::uint32_t status, const std::string& done_reply) {
  if (status == sftp::kOk) {
    reply_ = done_reply;
    return Outcome();
  }
  reply_ = session_.Failure();
  Outcome outcome;
  outcome.reason = reply_;
  if (session_.LocalFailure()) {
    outcome.kind = Outcome::Kind::LocalFailure;
  } else if (session_.Interrupted()) {
    outcome.kind = Outcome::Kind::Stopped;
  } else {
    outcome.kind = session_.Connected() ? Outcome::Kind::Refused : Outcome::Kind::ConnectionLost;
  }
  return outcome;
}

// ssh says why it could not log in; the kinds that another attempt cannot
// mend are told apart by its words.
Outcome SftpSiteConnection::Connect() {
  refusal_ = Refusal::None;
  folder_.clear();
  SshTarget target;
  target.host = site_.HostName;
  target.port = site_.Port == "ftp" ? std::string() : site_.Port;
  target.user = site_.UserName;
  target.key_file = site_.KeyFile;
  target.known_hosts = site_.KnownHosts;
  target.password = site_.PassWord;
  target.askpass_program = !askpass_program_.empty()   ? askpass_program_
                           : !DefaultAskpass().empty() ? DefaultAskpass()
                                                       : ProgramFolder() + "kestova";
  if (session_.Open(target)) {
    std::string home;
    if (session_.RealPath(".", home) == sftp::kOk) folder_ = home;
    reply_ = "Connected over SFTP";
    return Outcome();
  }
  const std::string& why = session_.Failure();
  if (const SftpSession::HostKey& key = session_.HostKeyRefused(); key.problem != SftpSession::HostKey::Problem::None) {
    refusal_ =
        key.problem == SftpSession::HostKey::Problem::Unknown ? Refusal::HostKeyUnknown : Refusal::HostKeyChanged;
  } else if (Holds(why, "Permission denied")) {
    refusal_ = Refusal::LoginRefused;
  } else if (Holds(why, "Could not resolve hostname")) {
    refusal_ = Refusal::HostNotFound;
  }
  reply_ = why;
  Outcome outcome;
  outcome.kind = session_.Interrupted() ? Outcome::Kind::Stopped : Outcome::Kind::ConnectionLost;
  outcome.reason = why;
  return outcome;
}

std::string SftpSiteConnection::RefusedHostKey() const {
  const SftpSession::HostKey& key = session_.HostKeyRefused();
  if (refusal_ != Refusal::HostKeyUnknown && refusal_ != Refusal::HostKeyChanged) return std::string();
  return key.type + " " + key.fingerprint;
}

Outcome SftpSiteConnection::Quit() {
  const bool was = session_.Connected();
  session_.Close();
  reply_ = "Session closed";
  if (was) return Outcome();
  return {Outcome::Kind::ConnectionLost, "Not sent: the session is closed"};
}

// A folder is entered when the server says it is one.
Outcome SftpSiteConnection::ChangeFolder(const std::string& folder) {
  const std::string path = PathOf(folder);
  sftp::Attributes attrs;
  const std::uint32_t status = session_.Stat(path, attrs);
  if (status == sftp::kOk && (attrs.flags & sftp::kAttrPermissions) && (attrs.permissions & 0170000) != 0040000) {
    reply_ = path + ": not a folder";
    return {Outcome::Kind::Refused, reply_};
  }
  if (status == sftp::kOk) folder_ = path;
  return Result(status);
}

Outcome SftpSiteConnection::ParentFolder() {
  folder_ = Parent(folder_);
  reply_ = "OK";
  return Outcome();
}

Outcome SftpSiteConnection::MakeFolder(const std::string& name) { return Result(session_.MakeFolder(PathOf(name))); }
Outcome SftpSiteConnection::RemoveFolder(const std::string& name) {
  return Result(session_.RemoveFolder(PathOf(name)));
}
Outcome SftpSiteConnection::RemoveFile(const std::string& name) { return Result(session_.Remove(PathOf(name))); }

// Over the old copy at once where the server renames onto a name
// (posix-rename@openssh.com); where it will not, the target's refusal lets
// the run delete the old copy first.
Outcome SftpSiteConnection::Rename(const std::string& from, const std::string& to) {
  const std::string sent = reply_;
  const std::uint32_t status = session_.Rename(PathOf(from), PathOf(to), true);
  if (status == sftp::kOk) {
    refused_half_ = RenameRefusal::None;
    // The reply line after an upload says what was sent.
    return Result(status, sent.rfind("Sent ", 0) == 0 ? sent + ", renamed into place" : "Renamed into place");
  } else {
    sftp::Attributes attrs;
    refused_half_ = session_.Connected() && session_.Stat(PathOf(from), attrs) != sftp::kOk ? RenameRefusal::Source
                                                                                            : RenameRefusal::Target;
  }
  return Result(status);
}

Outcome SftpSiteConnection::Send(const std::string& name, const std::string& local_file, DataStream* source) {
  sent_ = 0;
  std::unique_ptr<DataStream> file;
  if (!source) {
    std::string why;
    file = OpenForUpload(local_file, why);
    if (!file) {
      reply_ = "Cannot read " + local_file + ": " + why;
      return {Outcome::Kind::LocalFailure, reply_};
    }
    source = file.get();
  }
  const std::uint32_t status = session_.Write(PathOf(name), *source, [this](std::int64_t bytes) {
    sent_ = bytes;
    if (watcher_) watcher_(bytes);
  });
  return Result(status, "Sent " + std::to_string(sent_) + " bytes");
}

Outcome SftpSiteConnection::Receive(const std::string& name, DataStream& sink) {
  std::int64_t received = 0;
  const std::uint32_t status = session_.Read(PathOf(name), sink, [this, &received](std::int64_t bytes) {
    received = bytes;
    if (watcher_) watcher_(bytes);
  });
  return Result(status, "Received " + std::to_string(received) + " bytes");
}

// Every kind of listing reads the folder with its facts; "." and ".." are
// the folder itself and its parent.
Outcome SftpSiteConnection::List(Listing, const std::string& what, RemoteListing& into) {
  into = RemoteListing();
  std::vector<sftp::Reply::Name> names;
  const std::uint32_t status = session_.List(what.empty() ? folder_ : PathOf(what), names);
  if (status != sftp::kOk) return Result(status);
  for (const sftp::Reply::Name& name : names) {
    into.lines.push_back(name.longname.empty() ? name.name : name.longname);
    if (name.name == "." || name.name == "..") continue;
    into.entries.push_back(sftp::EntryOf(name));
  }
  into.reply = "Listed " + std::to_string(into.entries.size()) + " entries";
  return Result(status, into.reply);
}

std::optional<std::string> SftpSiteConnection::WorkingFolder() {
  std::string home;
  if (session_.RealPath(".", home) != sftp::kOk) return std::nullopt;
  reply_ = home;
  return home;
}

std::unique_ptr<DataStream> SftpSiteConnection::OpenForUpload(const std::string& name, std::string& why) {
  return FileStream::OpenRead(name, FtpShareMode::ftpShareDenyWrite, &why);
}

// "Connected over SFTP (SSH-2.0-OpenSSH_9.2p1), host key ED25519
// SHA256:..., trusted by known_hosts"
std::string SftpSiteConnection::SessionLine() const {
  if (!session_.Connected()) return std::string();
  const SftpSession::Peer& peer = session_.Reached();
  std::string line = "Connected over SFTP";
  if (!peer.software.empty()) line += " (" + peer.software + ")";
  if (!peer.fingerprint.empty()) {
    line += ", host key " + (peer.key_type.empty() ? std::string() : peer.key_type + " ") + peer.fingerprint;
  }
  if (!peer.known_in.empty()) {
    // The user's own file by its usual name, any other by its path.
    const char* home = std::getenv("HOME");
    const bool own = home && peer.known_in == std::string(home) + "/.ssh/known_hosts";
    line += ", trusted by " + (own ? std::string("known_hosts") : peer.known_in);
  }
  return line;
}

}  // namespace kestova
