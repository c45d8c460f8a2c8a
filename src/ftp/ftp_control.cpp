#include "ftp/ftp_control.h"

#include "common/text_helpers.h"

namespace kestova {

ControlConnection::ControlConnection() {
  socket_.OnDnsLookupDone = [this](AsyncSocket&, int error) {
    if (OnLookupDone) OnLookupDone(error);
  };
  socket_.OnSessionConnected = [this](AsyncSocket&, int error) {
    open_ = error == 0;
    if (OnConnected) OnConnected(error);
  };
  socket_.OnDataAvailable = [this](AsyncSocket&, int) { DataAvailable(); };
  socket_.OnTlsDone = [this](AsyncSocket&, int error) {
    if (OnSecured) OnSecured(error);
  };
  socket_.OnSessionClosed = [this](AsyncSocket&, int error) {
    const bool was_open = open_;
    open_ = false;
    reader_.Clear();
    if (OnClosed) OnClosed(error, was_open);
  };
}

ControlConnection::~ControlConnection() {
  socket_.OnDnsLookupDone = nullptr;
  socket_.OnSessionConnected = nullptr;
  socket_.OnDataAvailable = nullptr;
  socket_.OnTlsDone = nullptr;
  socket_.OnSessionClosed = nullptr;
}

void ControlConnection::Lookup(const std::string& host) {
  reader_.Clear();
  open_ = false;
  // A socket left half-open by an earlier failure is dropped.
  if (NotClosed()) socket_.Abort();
  socket_.DnsLookup(host);
}

void ControlConnection::Connect(const std::string& port, const std::string& local_addr) {
  socket_.SetAddr(socket_.DnsResult());
  socket_.SetLocalAddr(local_addr);
  socket_.SetPort(port);
  socket_.Connect();
}

ControlConnection::Sent ControlConnection::Send(const std::string& line) {
  // Every command is one line ended by CR LF (RFC 959, section 4.1.3).
  if (HoldsLineBreak(line)) return Sent::Refused;
  if (socket_.State() != SocketState::wsConnected) return Sent::NotConnected;
  socket_.SendText(line + "\r\n");
  return Sent::Sent;
}

void ControlConnection::StartTls(const TlsSettings& settings) {
  reader_.Clear();
  socket_.StartTls(settings);
}

void ControlConnection::Close() {
  if (NotClosed()) socket_.Close();
}

void ControlConnection::Abort() {
  socket_.CancelLookup();
  Close();
  open_ = false;
  reader_.Clear();
}

void ControlConnection::DataAvailable() {
  char chunk[ReplyReader::kCapacity];
  const int got = socket_.Receive(chunk, static_cast<int>(reader_.Room()));
  if (got <= 0) return;
  if (reader_.Append(chunk, static_cast<size_t>(got)) == ReplyReader::Status::ZeroByte) {
    reader_.Clear();
    if (OnUnreadable) OnUnreadable("a zero byte");
    return;
  }
  for (;;) {
    std::optional<std::string> line = reader_.NextLine(AcceptBareLf);
    if (!line) {
      if (reader_.Check() == ReplyReader::Status::TooLong) {
        reader_.Clear();
        if (OnUnreadable) OnUnreadable("a line longer than 4095 bytes");
      }
      return;
    }
    if (OnLine) OnLine(std::move(*line));
    if (socket_.State() != SocketState::wsConnected) {
      reader_.Clear();
      return;
    }
  }
}

}  // namespace kestova
