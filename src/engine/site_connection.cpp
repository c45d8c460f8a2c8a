#include "engine/site_connection.h"

#include "ftp/ftp_client.h"

namespace kestova {

std::string FtpSiteConnection::HostName() const { return client_.HostName; }
bool FtpSiteConnection::Connected() const { return client_.Connected(); }

bool FtpSiteConnection::Connect() {
  client_.SetConnectionType(client_.ProxyServer.empty() ? FtpConnectionType::ftpDirect : FtpConnectionType::ftpProxy);
  return client_.Connect();
}

bool FtpSiteConnection::Quit() { return client_.Quit(); }
void FtpSiteConnection::Drop() { client_.Abort(); }
void FtpSiteConnection::Interrupt() { client_.Interrupt(); }

bool FtpSiteConnection::Run(Operation operation) {
  client_.LocalFailure = false;
  switch (operation) {
    case Operation::Put: return client_.Put();
    case Operation::Mkd: return client_.Mkd();
    case Operation::Rmd: return client_.Rmd();
    case Operation::Cwd: return client_.Cwd();
    case Operation::Dele: return client_.Dele();
    case Operation::TypeBinary: return client_.TypeBinary();
    case Operation::TypeAscii: return client_.TypeAscii();
    case Operation::Ls: return client_.Ls();
    case Operation::Dir: return client_.Dir();
    case Operation::CDup: return client_.CDup();
    case Operation::Pwd: return client_.Pwd();
    case Operation::Rnfr: return client_.Rnfr();
    case Operation::Rnto: return client_.Rnto();
    case Operation::Feat: return client_.Feat();
    case Operation::Mlsd: return client_.Mlsd();
  }
  return false;
}

const std::string& FtpSiteConnection::HostFileName() const { return client_.HostFileName; }
void FtpSiteConnection::SetHostFileName(const std::string& name) { client_.HostFileName = name; }
const std::string& FtpSiteConnection::HostDirName() const { return client_.HostDirName; }
void FtpSiteConnection::SetHostDirName(const std::string& name) { client_.HostDirName = name; }

void FtpSiteConnection::SetRenameTarget(const std::string& name) { client_.RenameTarget = name; }
const std::string& FtpSiteConnection::LocalFileName() const { return client_.LocalFileName(); }
void FtpSiteConnection::SetLocalFileName(const std::string& name) { client_.SetLocalFileName(name); }
DataStream* FtpSiteConnection::LocalStream() const { return client_.LocalStream(); }
void FtpSiteConnection::SetLocalStream(DataStream* stream) { client_.SetLocalStream(stream); }

std::unique_ptr<DataStream> FtpSiteConnection::OpenForUpload(const std::string& name, std::string& why) {
  return client_.OpenForUpload(name, why);
}

const std::string& FtpSiteConnection::LastReply() const { return client_.LastReply; }
const std::string& FtpSiteConnection::ErrorMessage() const { return client_.ErrorMessage; }
std::string FtpSiteConnection::FailureText() const { return client_.FailureText(); }
bool FtpSiteConnection::LocalFailure() const { return client_.LocalFailure; }
bool FtpSiteConnection::DataCertificateRefused() const { return client_.DataCertificateRefused; }
int FtpSiteConnection::ConnectError() const { return client_.ConnectError; }
std::string FtpSiteConnection::Endpoint() const {
  if (client_.ProxyServer.empty()) return client_.HostName + " port " + client_.Port;
  return "the FTP proxy " + client_.ProxyServer + " port " +
         (client_.ProxyPort.empty() ? client_.Port : client_.ProxyPort);
}
bool FtpSiteConnection::Encrypted() const { return client_.Security != FtpSecurity::Plain; }
bool FtpSiteConnection::Binary() const { return client_.Binary(); }
std::string FtpSiteConnection::SecuritySummary() const { return client_.TlsSummary(); }

TransferMethod FtpSiteConnection::Method() const { return client_.Method; }

std::vector<std::string> FtpSiteConnection::FeatureLines() const { return client_.FeatureLines; }
CertificateCheck FtpSiteConnection::Certificate() const { return client_.Certificate(); }
std::int64_t FtpSiteConnection::TransferCount() const { return client_.TransferCount(); }

}  // namespace kestova
