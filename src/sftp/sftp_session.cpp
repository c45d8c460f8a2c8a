#include "sftp/sftp_session.h"

#include <QProcess>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "net/event_wait.h"
#include "sftp/host_keys.h"

namespace kestova {

using sftp::Reply;
using sftp::Request;

namespace {

// The last line ssh wrote, for the reason of a failure.
std::string LastLine(const std::string& words) {
  std::string text = words;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t end = text.find_last_of('\n');
  std::string line = end == std::string::npos ? text : text.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

SftpSession::SftpSession() = default;

SftpSession::~SftpSession() { Close(); }

bool SftpSession::Connected() const { return !lost_; }

bool SftpSession::Open(const SshTarget& target) {
  Close();
  failure_.clear();
  ssh_words_.clear();
  diagnostics_.clear();
  peer_ = Peer();
  reader_ = sftp::PacketReader();
  pending_.clear();
  replies_.clear();
  extensions_.clear();
  version_ = false;
  interrupted_ = false;
  limit_ = target.limit;
  host_key_ = HostKey();
  // With the helper, ssh may ask: about a host key it does not know (the
  // helper says no, and the question tells the key), and for the password
  // when there is one. Without it, ssh asks nothing.
  const bool helped = !target.askpass_program.empty();
  // -v: ssh names the server's software and host key, and where it found
  // the key, in lines that are read and not shown.
  QStringList args = {"-v", "-x", "-T", "-s"};
  args << "-o" << (helped ? "BatchMode=no" : "BatchMode=yes");
  args << "-o" << (helped ? "StrictHostKeyChecking=ask" : "StrictHostKeyChecking=yes");
  if (helped && target.password.empty()) {
    args << "-o"
         << "PasswordAuthentication=no";
    args << "-o"
         << "KbdInteractiveAuthentication=no";
  } else if (helped) {
    // A refused password is refused for good: one prompt, no second try.
    args << "-o"
         << "NumberOfPasswordPrompts=1";
  }
  if (!target.known_hosts.empty()) {
    // ssh splits the list at spaces unless a name is quoted.
    std::string files = "~/.ssh/known_hosts";
    for (const std::string& file : target.known_hosts) files += " \"" + file + "\"";
    args << "-o" << QString::fromStdString("UserKnownHostsFile=" + files);
  }
  if (!target.port.empty()) args << "-p" << QString::fromStdString(target.port);
  if (!target.user.empty()) args << "-l" << QString::fromStdString(target.user);
  if (!target.key_file.empty()) args << "-i" << QString::fromStdString(target.key_file);
  // The host cannot be taken for an option.
  args << "--" << QString::fromStdString(target.host) << "sftp";

  process_ = std::make_unique<QProcess>();
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  for (const auto& [name, value] : target.environment) {
    environment.insert(QString::fromStdString(name), QString::fromStdString(value));
  }
  if (helped) {
    askpass_ = std::make_unique<AskpassServer>(target.password, 1);
    if (!askpass_->Listening()) {
      failure_ = "ssh's questions cannot be answered (no socket for its askpass helper)";
      return false;
    }
    environment.insert("SSH_ASKPASS", QString::fromStdString(target.askpass_program));
    environment.insert("SSH_ASKPASS_REQUIRE", "force");
    environment.insert(kAskpassVariable, QString::fromStdString(askpass_->Name()));
  }
  process_->setProcessEnvironment(environment);
  QObject::connect(process_.get(), &QProcess::readyReadStandardOutput, process_.get(), [this] { ReadOutput(); });
  QObject::connect(process_.get(), &QProcess::readyReadStandardError, process_.get(),
                   [this] { ReadDiagnostics(process_->readAllStandardError().toStdString()); });
  QObject::connect(process_.get(), &QProcess::finished, process_.get(), [this] {
    ReadDiagnostics(process_->readAllStandardError().toStdString() + "\n");
    const std::string said = LastLine(ssh_words_);
    Lost(said.empty() ? "ssh ended" : said);
  });
  QObject::connect(process_.get(), &QProcess::errorOccurred, process_.get(), [this](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) Lost("ssh could not be started (is openssh-client installed?)");
  });
  lost_ = false;
  process_->start(QString::fromStdString(target.program), args);
  const std::uint32_t version = 3;
  if (!lost_)
    process_->write(Request::Init(version).Wire().data(), static_cast<qint64>(Request::Init(version).Wire().size()));
  WaitUntil([this] { return version_ || lost_ || interrupted_ || Terminating(); }, limit_);
  const std::string question = askpass_ ? askpass_->HostKeyQuestion() : std::string();
  // The password has done its work, or cannot any more.
  askpass_.reset();
  if (!version_) {
    Lost(interrupted_ ? "Stopped by the user" : lost_ ? failure_ : "no answer from the SFTP server");
    JudgeHostKey(question, target.host);
    return false;
  }
  return true;
}

// ssh's standard error, line by line: its debug lines tell the session's
// peer; the others are its words, kept for the reason of a failure.
void SftpSession::ReadDiagnostics(const std::string& text) {
  diagnostics_ += text;
  for (size_t end; (end = diagnostics_.find('\n')) != std::string::npos;) {
    std::string line = diagnostics_.substr(0, end);
    diagnostics_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("debug", 0) != 0) {
      ssh_words_ += line + "\n";
      if (ssh_words_.size() > 8192) ssh_words_.erase(0, ssh_words_.size() - 8192);
      continue;
    }
    std::smatch found;
    static const std::regex kSoftware(R"(Remote protocol version ([0-9.]+), remote software version (.+)$)");
    static const std::regex kMatches(R"(is known and matches the (\w+) host key)");
    static const std::regex kServerKey(R"(Server host key: \S+ (SHA256:[A-Za-z0-9+/=]+))");
    static const std::regex kFoundIn(R"(Found key in (.+):[0-9]+$)");
    if (std::regex_search(line, found, kSoftware)) {
      peer_.software = "SSH-" + found[1].str() + "-" + found[2].str();
    } else if (std::regex_search(line, found, kServerKey)) {
      peer_.fingerprint = found[1].str();
    } else if (std::regex_search(line, found, kMatches)) {
      peer_.key_type = found[1].str();
    } else if (peer_.known_in.empty() && std::regex_search(line, found, kFoundIn)) {
      peer_.known_in = found[1].str();
    }
  }
  if (diagnostics_.size() > 8192) diagnostics_.clear();  // no line is that long
}

// The fingerprint of the key on line `number` of a known_hosts file
// ("[host]:port type base64", maybe after a marker); empty when unreadable.
static std::string KnownKeyFingerprint(const std::string& file, int number) {
  std::ifstream in(file);
  std::string line;
  int read = 0;
  while (read < number && std::getline(in, line)) ++read;
  if (read != number) return std::string();
  std::istringstream fields(line);
  std::string hosts, type, key;
  fields >> hosts;
  if (!hosts.empty() && hosts[0] == '@') fields >> hosts;
  fields >> type >> key;
  return key.empty() ? std::string() : HostKeyFingerprint(key);
}

// Why ssh would not go on with the host's key: one it does not know (its
// question names it), or one that is not the key known_hosts holds (its
// warning names the new one).
void SftpSession::JudgeHostKey(const std::string& question, const std::string& host) {
  std::smatch found;
  static const std::regex kAsked(R"((\w+) key fingerprint is (SHA256:[A-Za-z0-9+/=]+))");
  static const std::regex kWarned(
      R"(fingerprint for the (\w+) key sent by the remote host is\s+(SHA256:[A-Za-z0-9+/=]+))");
  if (std::regex_search(question, found, kAsked)) {
    host_key_ = {HostKey::Problem::Unknown, found[1].str(), found[2].str()};
    failure_ = "The host key of " + host + " is not known: " + host_key_.type + " " + host_key_.fingerprint;
  } else if (ssh_words_.find("IDENTIFICATION HAS CHANGED") != std::string::npos &&
             std::regex_search(ssh_words_, found, kWarned)) {
    host_key_ = {HostKey::Problem::Changed, found[1].str(), found[2].str()};
    failure_ = "The host key of " + host + " has changed: it is now " + host_key_.type + " " + host_key_.fingerprint;
    // ssh names the line of the key it knew; its fingerprint is the other
    // half of what the user compares.
    static const std::regex kOffending(R"(Offending (\w+) key in (.+):([0-9]+)\s*$)");
    std::smatch offending;
    const std::string words = ssh_words_;
    std::istringstream lines(words);
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!std::regex_search(line, offending, kOffending)) continue;
      const std::string known = KnownKeyFingerprint(offending[2].str(), std::stoi(offending[3].str()));
      if (!known.empty()) {
        failure_ += ", not the " + offending[1].str() + " " + known + " that " + offending[2].str() + " holds for it";
        return;
      }
    }
    failure_ += ", not the key known_hosts holds for it";
  }
}

void SftpSession::Close() {
  if (!process_) return;
  lost_ = true;
  QProcess& process = *process_;
  if (process.state() != QProcess::NotRunning) {
    process.closeWriteChannel();
    WaitUntil([&process] { return process.state() == QProcess::NotRunning; }, std::chrono::milliseconds(2000));
    if (process.state() != QProcess::NotRunning) {
      process.kill();
      process.waitForFinished(1000);
    }
  }
  process_->disconnect();
  process_.reset();
}

void SftpSession::Lost(const std::string& why) {
  if (lost_ && !failure_.empty()) return;
  lost_ = true;
  failure_ = why;
  if (process_ && process_->state() != QProcess::NotRunning) process_->kill();
}

void SftpSession::ReadOutput() {
  const QByteArray data = process_->readAllStandardOutput();
  std::string why;
  if (!reader_.Feed(data.constData(), static_cast<std::size_t>(data.size()), why)) return Lost(why);
  while (const auto body = reader_.Next()) {
    if (!TakeReply(*body)) return;
  }
}

// Every reply answers a request that is waiting for it; the first is the
// VERSION.
bool SftpSession::TakeReply(const std::string& body) {
  std::string why;
  std::optional<Reply> reply = sftp::ParseReply(body, why);
  if (!reply) {
    Lost(why);
    return false;
  }
  if (!version_) {
    if (reply->type != sftp::kVersion || reply->id != 3) {
      Lost("the server does not speak SFTP version 3");
      return false;
    }
    for (auto& [name, data] : reply->extensions) extensions_[name] = data;
    version_ = true;
    return true;
  }
  if (reply->type == sftp::kVersion || !pending_.erase(reply->id)) {
    Lost("the server answered request " + std::to_string(reply->id) + ", which was not asked");
    return false;
  }
  replies_.emplace(reply->id, std::move(*reply));
  return true;
}

bool SftpSession::Send(Request request, std::uint32_t id) {
  if (lost_) return false;
  pending_.insert(id);
  const std::string& wire = request.Wire();
  process_->write(wire.data(), static_cast<qint64>(wire.size()));
  return true;
}

std::optional<Reply> SftpSession::Await(std::uint32_t id) {
  const auto arrived = [this, id] { return replies_.count(id) > 0; };
  if (!arrived() && !lost_) {
    WaitUntil([&] { return arrived() || lost_ || interrupted_ || Terminating(); }, limit_);
    if (!arrived() && !lost_) {
      Lost(interrupted_ || Terminating()
               ? "Stopped by the user"
               : "no answer from the server for " + std::to_string(limit_.count() / 1000) + " seconds");
    }
  }
  const auto found = replies_.find(id);
  if (found == replies_.end()) return std::nullopt;
  Reply reply = std::move(found->second);
  replies_.erase(found);
  return reply;
}

std::optional<Reply> SftpSession::Call(Request request, std::uint32_t id) {
  if (!Send(std::move(request), id)) return std::nullopt;
  return Await(id);
}

// kOk when the reply is the one wanted (or an OK status where a status is
// wanted); the status otherwise, its words kept.
std::uint32_t SftpSession::StatusOf(const std::optional<Reply>& reply, sftp::Type wanted) {
  if (!reply) return sftp::kConnectionLost;
  if (reply->type == sftp::kStatus) {
    if (reply->code == sftp::kOk && wanted == sftp::kStatus) return sftp::kOk;
    failure_ = reply->message.empty() ? sftp::StatusName(reply->code) : reply->message;
    return reply->code == sftp::kOk ? sftp::kBadMessage : reply->code;
  }
  if (reply->type == wanted) return sftp::kOk;
  Lost("the server answered with a packet of type " + std::to_string(static_cast<int>(reply->type)) +
       " where one of type " + std::to_string(static_cast<int>(wanted)) + " belongs");
  return sftp::kConnectionLost;
}

std::uint32_t SftpSession::Simple(sftp::Type type, const std::string& path) {
  const std::uint32_t id = NextId();
  Request request(type, id);
  request.String(path);
  if (type == sftp::kMkdir) request.Attrs(sftp::Attributes());
  return StatusOf(Call(std::move(request), id), sftp::kStatus);
}

std::uint32_t SftpSession::MakeFolder(const std::string& path) { return Simple(sftp::kMkdir, path); }
std::uint32_t SftpSession::RemoveFolder(const std::string& path) { return Simple(sftp::kRmdir, path); }
std::uint32_t SftpSession::Remove(const std::string& path) { return Simple(sftp::kRemove, path); }

std::uint32_t SftpSession::RealPath(const std::string& path, std::string& resolved) {
  const std::uint32_t id = NextId();
  const std::optional<Reply> reply = Call(std::move(Request(sftp::kRealpath, id).String(path)), id);
  const std::uint32_t status = StatusOf(reply, sftp::kName);
  if (status != sftp::kOk) return status;
  if (reply->names.size() != 1) {
    Lost("the server resolved a path into " + std::to_string(reply->names.size()) + " names");
    return sftp::kConnectionLost;
  }
  resolved = reply->names[0].name;
  return sftp::kOk;
}

std::uint32_t SftpSession::Stat(const std::string& path, sftp::Attributes& attrs) {
  const std::uint32_t id = NextId();
  const std::optional<Reply> reply = Call(std::move(Request(sftp::kStat, id).String(path)), id);
  const std::uint32_t status = StatusOf(reply, sftp::kAttrs);
  if (status == sftp::kOk) attrs = reply->attrs;
  return status;
}

std::uint32_t SftpSession::Rename(const std::string& from, const std::string& to, bool replace) {
  const std::uint32_t id = NextId();
  const char* const kPosixRename = "posix-rename@openssh.com";
  Request request = replace && HasExtension(kPosixRename) ? Request(sftp::kExtended, id).String(kPosixRename)
                                                          : Request(sftp::kRename, id);
  request.String(from).String(to);
  return StatusOf(Call(std::move(request), id), sftp::kStatus);
}

bool SftpSession::CloseHandle(const std::string& handle) {
  const std::uint32_t id = NextId();
  return StatusOf(Call(std::move(Request(sftp::kClose, id).String(handle)), id), sftp::kStatus) == sftp::kOk;
}

std::uint32_t SftpSession::List(const std::string& path, std::vector<Reply::Name>& names) {
  names.clear();
  std::uint32_t id = NextId();
  std::optional<Reply> reply = Call(std::move(Request(sftp::kOpendir, id).String(path)), id);
  std::uint32_t status = StatusOf(reply, sftp::kHandle);
  if (status != sftp::kOk) return status;
  const std::string handle = reply->handle;
  for (;;) {
    id = NextId();
    reply = Call(std::move(Request(sftp::kReaddir, id).String(handle)), id);
    if (reply && reply->type == sftp::kStatus && reply->code == sftp::kEof) break;
    status = StatusOf(reply, sftp::kName);
    if (status != sftp::kOk) return status;
    for (Reply::Name& name : reply->names) names.push_back(std::move(name));
  }
  return CloseHandle(handle) ? sftp::kOk : sftp::kFailure;
}

// The writes go `depth` at a time: each acknowledged one lets the next go,
// so a large file moves at the link's speed, not a round trip per block.
std::uint32_t SftpSession::Write(const std::string& path, DataStream& source,
                                 const std::function<void(std::int64_t)>& progress, int depth, std::size_t block) {
  local_failure_ = false;
  std::uint32_t id = NextId();
  const std::uint32_t flags = sftp::kOpenWrite | sftp::kOpenCreate | sftp::kOpenTruncate;
  std::optional<Reply> reply =
      Call(std::move(Request(sftp::kOpen, id).String(path).U32(flags).Attrs(sftp::Attributes())), id);
  std::uint32_t status = StatusOf(reply, sftp::kHandle);
  if (status != sftp::kOk) return status;
  const std::string handle = reply->handle;
  std::deque<std::pair<std::uint32_t, std::size_t>> in_flight;
  std::uint64_t offset = 0;
  std::int64_t acknowledged = 0;
  bool ended = false;
  std::string buffer(block, '\0');
  // The CLOSE goes out right after the last WRITE on the same handle,
  // which the server handles in order: a small file costs one round trip
  // for its data and its close together. It counts only when every write
  // before it succeeded.
  std::uint32_t close_id = 0;
  const auto send_close = [&] {
    close_id = NextId();
    return Send(std::move(Request(sftp::kClose, close_id).String(handle)), close_id);
  };
  while (!ended || !in_flight.empty()) {
    while (!ended && static_cast<int>(in_flight.size()) < depth) {
      std::int64_t count = 0;
      try {
        count = source.Read(buffer.data(), static_cast<std::int64_t>(block));
      } catch (const std::runtime_error& error) {
        failure_ = std::string("Cannot read the data to send: ") + error.what();
        local_failure_ = true;
        ended = true;
        break;
      }
      if (count <= 0) {
        ended = true;
        if (!send_close()) return sftp::kConnectionLost;
        break;
      }
      id = NextId();
      if (!Send(std::move(Request(sftp::kWrite, id)
                              .String(handle)
                              .U64(offset)
                              .Bytes(buffer.data(), static_cast<std::size_t>(count))),
                id)) {
        return sftp::kConnectionLost;
      }
      in_flight.emplace_back(id, static_cast<std::size_t>(count));
      offset += static_cast<std::uint64_t>(count);
    }
    if (in_flight.empty()) break;
    status = StatusOf(Await(in_flight.front().first), sftp::kStatus);
    if (status != sftp::kOk) {
      // The writes still in flight are answered before the handle goes.
      const std::string why = failure_;
      for (in_flight.pop_front(); !in_flight.empty() && Connected(); in_flight.pop_front()) {
        Await(in_flight.front().first);
      }
      if (close_id != 0) {
        Await(close_id);
      } else if (Connected()) {
        CloseHandle(handle);
      }
      failure_ = why;
      return status;
    }
    acknowledged += static_cast<std::int64_t>(in_flight.front().second);
    in_flight.pop_front();
    if (progress) progress(acknowledged);
  }
  const bool closed = close_id != 0 ? StatusOf(Await(close_id), sftp::kStatus) == sftp::kOk : CloseHandle(handle);
  if (local_failure_) return sftp::kFailure;
  return closed ? sftp::kOk : sftp::kFailure;
}

std::uint32_t SftpSession::Read(const std::string& path, DataStream& sink,
                                const std::function<void(std::int64_t)>& progress, int depth, std::size_t block) {
  local_failure_ = false;
  std::uint32_t id = NextId();
  std::optional<Reply> reply =
      Call(std::move(Request(sftp::kOpen, id).String(path).U32(sftp::kOpenRead).Attrs(sftp::Attributes())), id);
  std::uint32_t status = StatusOf(reply, sftp::kHandle);
  if (status != sftp::kOk) return status;
  const std::string handle = reply->handle;
  // Reads in flight, oldest first, each with where it starts.
  std::deque<std::pair<std::uint32_t, std::uint64_t>> in_flight;
  std::uint64_t next = 0;     // where the next read starts
  std::uint64_t written = 0;  // what the sink holds
  bool end = false;           // the server said the file ends
  status = sftp::kOk;
  const auto drain = [&] {
    for (; !in_flight.empty() && Connected(); in_flight.pop_front()) Await(in_flight.front().first);
    in_flight.clear();
  };
  while (status == sftp::kOk && !end) {
    while (!end && static_cast<int>(in_flight.size()) < depth) {
      id = NextId();
      if (!Send(std::move(Request(sftp::kRead, id).String(handle).U64(next).U32(static_cast<std::uint32_t>(block))),
                id)) {
        return sftp::kConnectionLost;
      }
      in_flight.emplace_back(id, next);
      next += block;
    }
    const std::uint32_t front = in_flight.front().first;
    in_flight.pop_front();
    reply = Await(front);
    if (!reply) return sftp::kConnectionLost;
    if (reply->type == sftp::kStatus && reply->code == sftp::kEof) {
      end = true;
      continue;
    }
    status = StatusOf(reply, sftp::kData);
    if (status != sftp::kOk) break;
    const std::string& data = reply->data;
    if (data.size() > block) {
      Lost("the server sent more than was asked for");
      return sftp::kConnectionLost;
    }
    if (!data.empty() && !sink.Write(data.data(), static_cast<std::int64_t>(data.size()))) {
      failure_ = "Cannot keep the data received: " + std::string(std::strerror(errno != 0 ? errno : EIO));
      local_failure_ = true;
      status = sftp::kFailure;
      break;
    }
    written += data.size();
    if (progress) progress(static_cast<std::int64_t>(written));
    // A short read is the end when the read after it finds the end;
    // otherwise what was asked after it is asked again from where the data
    // stopped.
    if (data.size() < block) {
      if (!in_flight.empty()) {
        const std::uint32_t after = in_flight.front().first;
        in_flight.pop_front();
        reply = Await(after);
        if (!reply) return sftp::kConnectionLost;
        if (reply->type == sftp::kStatus && reply->code == sftp::kEof) {
          end = true;
          continue;
        }
      }
      drain();
      next = written;
    }
  }
  const std::string why = failure_;
  drain();
  const bool closed = Connected() && CloseHandle(handle);
  if (status != sftp::kOk) {
    failure_ = why;
    return status;
  }
  return closed ? sftp::kOk : sftp::kFailure;
}

}  // namespace kestova
