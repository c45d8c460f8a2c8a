#include "ftp/ftp_site_connection.h"

#include <algorithm>

#include "common/text_helpers.h"
#include "ftp/ftp_listing.h"
#include "ftp/ftp_reply.h"
#include "platform/socket_errors.h"

namespace kestova {

void ApplySiteSettings(FtpClient& client, const SiteSettings& site) {
  client.HostName = site.HostName;
  client.Port = site.Port;
  client.UserName = site.UserName;
  client.PassWord = site.PassWord;
  client.ProxyServer = site.ProxyServer;
  client.ProxyPort = site.ProxyPort;
  client.Security = site.Security;
  client.TrustedFingerprint = site.TrustedFingerprint;
  client.SetConnectionType(site.ProxyServer.empty() ? FtpConnectionType::ftpDirect : FtpConnectionType::ftpProxy);
  client.SetPassive(site.Passive());
  client.Tuning = site.Method == TransferMethod::Modern ? TransferTuning{65536, 0} : TransferTuning{};
}

FtpSiteConnection::FtpSiteConnection(const SiteSettings& site)
    : own_client_(std::make_unique<FtpClient>()), client_(*own_client_) {
  ApplySiteSettings(client_, site);
}

std::string FtpSiteConnection::HostName() const { return client_.HostName; }
bool FtpSiteConnection::Connected() const { return client_.Connected(); }

Outcome FtpSiteConnection::Connect() {
  folder_.clear();
  client_.SetConnectionType(client_.ProxyServer.empty() ? FtpConnectionType::ftpDirect : FtpConnectionType::ftpProxy);
  return Result(client_.Connect());
}

Outcome FtpSiteConnection::Quit() { return Result(client_.Quit()); }
void FtpSiteConnection::Drop() { client_.Abort(); }
void FtpSiteConnection::Interrupt() { client_.Interrupt(); }

FtpClient& FtpSiteConnection::Begin() {
  client_.LocalFailure = false;
  return client_;
}

// A failure that left the session standing is the server's answer, unless
// it came from this side.
Outcome FtpSiteConnection::Result(bool done) const {
  if (done) return Outcome();
  Outcome outcome;
  outcome.reason = client_.FailureText();
  if (client_.LocalFailure) {
    outcome.kind = Outcome::Kind::LocalFailure;
  } else if (client_.Interrupted()) {
    outcome.kind = Outcome::Kind::Stopped;
  } else {
    outcome.kind = client_.Connected() ? Outcome::Kind::Refused : Outcome::Kind::ConnectionLost;
  }
  return outcome;
}

Outcome FtpSiteConnection::ChangeFolder(const std::string& folder) {
  Begin().HostDirName = folder;
  if (!client_.Cwd()) return Result(false);
  folder_ = !folder.empty() && folder[0] == '/' ? folder : AddTrailingSlash(folder_) + folder;
  return Outcome();
}

Outcome FtpSiteConnection::ParentFolder() {
  if (!Begin().CDup()) return Result(false);
  const size_t slash = folder_.find_last_of('/');
  if (slash != std::string::npos) folder_.erase(slash == 0 ? 1 : slash);
  return Outcome();
}

Outcome FtpSiteConnection::MakeFolder(const std::string& name) {
  Begin().HostFileName = name;
  return Result(client_.Mkd());
}

Outcome FtpSiteConnection::RemoveFolder(const std::string& name) {
  Begin().HostFileName = name;
  return Result(client_.Rmd());
}

Outcome FtpSiteConnection::RemoveFile(const std::string& name) {
  Begin().HostFileName = name;
  return Result(client_.Dele());
}

// RNFR, then RNTO: a new session has forgotten an earlier RNFR, so both go
// on every attempt.
Outcome FtpSiteConnection::Rename(const std::string& from, const std::string& to) {
  Begin().HostFileName = from;
  client_.RenameTarget = to;
  refused_half_ = RenameRefusal::Source;
  if (!client_.Rnfr()) return Result(false);
  refused_half_ = RenameRefusal::Target;
  if (!client_.Rnto()) return Result(false);
  refused_half_ = RenameRefusal::None;
  return Outcome();
}

Outcome FtpSiteConnection::SetBinary(bool binary) {
  return Result(binary ? Begin().TypeBinary() : Begin().TypeAscii());
}

Outcome FtpSiteConnection::Send(const std::string& name, const std::string& local_file, DataStream* source) {
  Begin().HostFileName = name;
  if (source) {
    client_.SetLocalStream(source);
  } else {
    client_.SetLocalStream(nullptr);
    client_.SetLocalFileName(local_file);
  }
  const bool sent = client_.Put();
  client_.SetLocalStream(nullptr);
  return Result(sent);
}

Outcome FtpSiteConnection::Receive(const std::string& name, DataStream& sink) {
  Begin().HostFileName = name;
  client_.SetLocalStream(&sink);
  const bool received = client_.Get();
  client_.SetLocalStream(nullptr);
  Outcome outcome = Result(received);
  // A data connection cut on the way ends with the server's 426 (it saw the
  // cut), or even with its 226 (it had handed everything to its side of the
  // network): what arrived is not the file, and another attempt may bring
  // it whole.
  if (outcome.kind == Outcome::Kind::Refused && (client_.DataCut || ParseReplyCode(outcome.reason).code == 426)) {
    outcome.kind = Outcome::Kind::ConnectionLost;
    if (client_.DataCut) {
      outcome.reason =
          "The data connection was cut before the file had arrived (the server said: " + outcome.reason + ")";
    }
  }
  return outcome;
}

// LIST, NLST or MLSD of the name, or of the current folder. The names of
// LIST lines stand in a column learnt from the first listing that has
// entries, right after it.
Outcome FtpSiteConnection::List(Listing kind, const std::string& what, RemoteListing& into) {
  into = RemoteListing();
  MemoryStream stream;
  Begin().HostFileName = what;
  client_.SetLocalStream(&stream);
  const bool listed = kind == Listing::Names ? client_.Ls() : kind == Listing::Long ? client_.Dir() : client_.Mlsd();
  if (!ListLines(listed, stream, into)) return Result(false);
  if (kind == Listing::Names) {
    ReadNameListing(into);
  } else if (kind == Listing::Facts) {
    ReadFactListing(into);
  } else {
    const bool entries = std::any_of(into.lines.begin(), into.lines.end(), IsListingEntry);
    if (entries && name_column_ < 0 && !LearnNameColumn()) return Result(false);
    ReadLongListing(into, name_column_, run_year_, run_month_);
  }
  return Outcome();
}

bool FtpSiteConnection::ListLines(bool listed, MemoryStream& stream, RemoteListing& into) {
  client_.SetLocalStream(nullptr);
  if (!listed) return false;
  into.lines = SplitLines(stream.Data());
  into.reply = client_.LastReply;
  return true;
}

// NLST and LIST of the folder the session is in, entered again first: a
// name counts where it ends its LIST line. A folder whose NLST names
// nothing teaches nothing, and the next listing tries again.
bool FtpSiteConnection::LearnNameColumn() {
  if (!folder_.empty()) ChangeFolder(folder_);
  RemoteListing names, lines;
  MemoryStream stream;
  Begin().HostFileName.clear();
  client_.SetLocalStream(&stream);
  if (!ListLines(client_.Ls(), stream, names)) return false;
  if (names.lines.empty()) return true;
  stream.Clear();
  client_.SetLocalStream(&stream);
  if (!ListLines(client_.Dir(), stream, lines)) return false;
  name_column_ = NameColumnFrom(lines.lines, names.lines);
  return true;
}

Outcome FtpSiteConnection::AskFeatures() { return Result(Begin().Feat()); }

std::unique_ptr<DataStream> FtpSiteConnection::OpenForUpload(const std::string& name, std::string& why) {
  return client_.OpenForUpload(name, why);
}

const std::string& FtpSiteConnection::LastReply() const { return client_.LastReply; }
bool FtpSiteConnection::DataCertificateRefused() const { return client_.DataCertificateRefused; }
// A login refused with 530 is refused for good (some servers lock an
// account after a few failed logins), unless the reply says the server is
// busy. A plain FTP login refused with a 5xx that names TLS, SSL or
// encryption wants FTP over TLS.
SiteConnection::Refusal FtpSiteConnection::ConnectRefusal() const {
  if (client_.ConnectError == kWsaHostNotFound) return Refusal::HostNotFound;
  const std::string text = FoldCase(client_.ErrorMessage);
  const int code = ParseReplyCode(client_.ErrorMessage).code;
  if (!Encrypted() && code >= 500 && code < 600 &&
      (text.find("tls") != std::string::npos || text.find("ssl") != std::string::npos ||
       text.find("encrypt") != std::string::npos)) {
    return Refusal::TlsRequired;
  }
  if (code == 530 && text.find("too many") == std::string::npos && text.find("try later") == std::string::npos &&
      text.find("try again") == std::string::npos) {
    return Refusal::LoginRefused;
  }
  return Refusal::None;
}

std::string FtpSiteConnection::SystemReason() const {
  return client_.ConnectError != 0 ? SystemErrorText(client_.ConnectError) : std::string();
}

bool FtpSiteConnection::TooManyConnections() const {
  return FoldCase(client_.LastReply).find("too many connections") != std::string::npos;
}

// PWD's path is what its reply quotes; without a closing quote, what
// follows the first one.
std::optional<std::string> FtpSiteConnection::WorkingFolder() {
  if (!Begin().Pwd()) return std::nullopt;
  const std::string& reply = client_.LastReply;
  const size_t quote = reply.find('"');
  const std::string after = quote == std::string::npos ? std::string() : reply.substr(quote + 1, 500);
  const size_t second = after.find('"');
  const long long cut = second == std::string::npos ? 0 : static_cast<long long>(second) + 1;
  return LeftPart(after, cut - 1);
}

bool FtpSiteConnection::ListsFacts() const {
  for (const std::string& feature : client_.FeatureLines) {
    if (FoldCase(LeftPart(TrimBlanks(feature), 4)) == "mlst") return true;
  }
  return false;
}
std::string FtpSiteConnection::Endpoint() const {
  if (client_.ProxyServer.empty()) return client_.HostName + " port " + client_.Port;
  return "the FTP proxy " + client_.ProxyServer + " port " +
         (client_.ProxyPort.empty() ? client_.Port : client_.ProxyPort);
}
std::string FtpSiteConnection::Proxy() const { return client_.ProxyServer; }
bool FtpSiteConnection::Encrypted() const { return client_.Security != FtpSecurity::Plain; }
bool FtpSiteConnection::Binary() const { return client_.Binary(); }
std::string FtpSiteConnection::SessionLine() const {
  return client_.TlsSummary().empty() ? std::string() : "Encrypted with " + client_.TlsSummary();
}

void FtpSiteConnection::WatchTransfers(std::function<void(std::int64_t bytes)> watcher) {
  // A handler the client's owner set stays in the chain.
  client_.OnProgress = [watcher = std::move(watcher), previous = client_.OnProgress](FtpClientCore& core,
                                                                                     std::int64_t count, bool& abort) {
    if (watcher && (core.RequestCode == FtpRequest::ftpPut || core.RequestCode == FtpRequest::ftpGet)) watcher(count);
    if (previous) previous(core, count, abort);
  };
}

CertificateCheck FtpSiteConnection::Certificate() const { return client_.Certificate(); }
std::int64_t FtpSiteConnection::TransferCount() const { return client_.TransferCount(); }

}  // namespace kestova
