// An event-driven, non-blocking IPv4 TCP socket. Every operation returns at once;
// results arrive later as events, called from the event loop of the thread
// that created the socket: name lookups, connections made or refused, data
// that can be read, a send queue that has drained, connections waiting on a
// listener, and the end of a connection (exactly one OnSessionClosed each).
//
// Notices from the system (readable, writable) are turned into the notice
// bits connect, read, write, accept and close and handled in that order. A
// notice that was made for a handle the socket has since released is ignored.
//
// Errors are reported through OnError when it is assigned, and otherwise by
// throwing ESocketException, as the FTP client expects.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/resolve.h"
#include "net/send_queue.h"
#include "net/socket_types.h"
#include "net/tls_channel.h"

namespace kestova {

class SocketEvents;

class AsyncSocket {
 public:
  AsyncSocket();
  virtual ~AsyncSocket();
  AsyncSocket(const AsyncSocket&) = delete;
  AsyncSocket& operator=(const AsyncSocket&) = delete;

  // ---- Endpoint settings: stored trimmed, changed only while closed.
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& value);
  const std::string& LocalAddr() const { return local_addr_; }
  void SetLocalAddr(const std::string& value);  // empty stores "0.0.0.0"
  const std::string& LocalPort() const { return local_port_; }
  void SetLocalPort(const std::string& value);

  // The connected peer, or "error" when not connected.
  std::string PeerAddr();
  std::string PeerPort();
  // The bound local side, or "error" unless bound, connected or listening.
  std::string GetXAddr();
  std::string GetXPort();

  const std::string& DnsResult() const { return dns_result_; }
  const std::vector<std::string>& DnsResultList() const { return dns_result_list_; }
  SocketState State() const { return state_; }
  long long ReadCount() const { return read_count_; }
  int LastError() const { return last_error_; }
  // The text of the last error reported (also when OnError took it).
  const std::string& LastErrorMessage() const { return last_error_message_; }
  // The system handle, or -1.
  int SocketHandle() const { return fd_; }
  // The remote IPv4 address in network byte order, as Connect resolved it.
  std::uint32_t ResolvedAddr() const { return remote_.V4(); }
  // The remote address is an IPv6 one.
  bool RemoteV6() const { return remote_.V6(); }
  bool Paused() const { return paused_; }

  // Options.
  unsigned ComponentOptions = 0;  // AsyncSocketOption bits
  SocketLingerOnOff LingerOnOff = SocketLingerOnOff::wsLingerOn;
  int LingerTimeout = 0;

  // ---- Events. The first argument is always the socket. An owner may
  // reassign them at any time, also from inside one of them.
  std::function<void(AsyncSocket&, SocketState old_state, SocketState new_state)> OnChangeState;
  std::function<void(AsyncSocket&, int error)> OnDnsLookupDone;
  std::function<void(AsyncSocket&, int error)> OnSessionConnected;
  std::function<void(AsyncSocket&, int error)> OnSessionAvailable;
  std::function<void(AsyncSocket&, int error)> OnDataAvailable;
  std::function<void(AsyncSocket&, int error)> OnDataSent;
  std::function<void(AsyncSocket&, int error)> OnSessionClosed;
  std::function<void(AsyncSocket&)> OnError;
  std::function<void(AsyncSocket&, const std::exception&, bool& can_close)> OnBgException;
  // The TLS handshake that StartTls began has ended: 0, or the error code
  // (TlsError() says why). After a failure the socket closes itself once the
  // handler has run, unless the handler closed it.
  std::function<void(AsyncSocket&, int error)> OnTlsDone;

  // ---- Operations.
  void DnsLookup(const std::string& host);
  void CancelLookup();
  void Connect();
  void Listen();
  // Takes one waiting connection of a listening socket: its handle, or -1.
  int Accept();
  // Adopts a connected handle (from Accept); the state becomes wsConnected.
  void Dup(int handle);
  // Queues and sends; the length, 0 for nothing, -1 when not connected.
  int Send(const void* data, int length);
  int SendText(const std::string& text);
  // Reads at most `size` bytes: the count, 0 when the peer has closed, -1 on
  // failure (LastError tells why; 10035 when nothing is there yet).
  int Receive(void* buffer, int size);
  void Close();
  void Abort();
  // Closes at once with a reset, discarding what is queued: the peer learns
  // that the connection broke off rather than that it ended.
  void Drop();
  void CloseLater();
  // Destroys the socket from the event loop. Only for sockets made with new
  // that nothing else owns.
  void FreeLater();
  void Shutdown(int how);
  void PauseEvents();
  void ResumeEvents();
  // The local IPv4 endpoint of the handle; 0 on success, else the error code.
  int GetLocalName(SocketAddress& local);
  void ApplyLinger();
  void ProcessPendingEvents();

  // Posts a notice for the current handle as the system would, to be handled
  // from the event loop (and dropped if the handle is gone by then).
  void PostNotice(unsigned bits, int error);
  // Posts a notice whose handling throws, to exercise OnBgException.
  void PostTestException();

  // ---- TLS, as a client, on a connected stream socket. From OnTlsDone on,
  // Send and Receive carry plaintext through it; the queued bytes leave as
  // records of up to 16 KiB, and what the server sends is read record by
  // record. Close
  // sends close_notify first; Abort and Drop do not.
  void StartTls(const TlsSettings& settings);
  // Sends close_notify after everything queued: AllSent() and OnDataSent
  // come once it has left. Nothing for a plain connection.
  void EndTls();
  // The TLS layer once the handshake has begun (nullptr for plain).
  const TlsChannel* Tls() const { return tls_.get(); }
  bool TlsOpen() const { return tls_phase_ == TlsPhase::Open || tls_phase_ == TlsPhase::Ending; }
  const std::string& TlsError() const { return tls_error_; }

  const SendQueue& Queue() const { return queue_; }
  bool AllSent() const { return all_sent_; }
  // Sockets alive in the process.
  static int LiveSocketCount();

 private:
  friend class SocketEvents;

  // Errors.
  void Report(const std::string& message);
  void SocketError(const std::string& label, int code);
  void BgException(const std::exception& error);

  // Handle and notices.
  void AdoptHandle(int fd);
  int ReleaseHandle();
  void UpdateNotifiers();
  void Readable();
  void Writable();
  void Dispatch(std::uint64_t serial, unsigned bits, int error);
  void HandleNotice(unsigned bit, int error);
  void ReceiveLoop(int error, unsigned options);
  void DeliverLookup(std::uint64_t id, int error, const std::vector<std::string>& names);
  void DropPendingLookup();

  // Lifecycle.
  void ChangeState(SocketState state);
  void InternalClose(bool shutdown, int error);
  void Reset();
  void ResolveEndpoint(bool local_port);
  void BindLocal();

  // TLS.
  enum class TlsPhase { None, Handshaking, Open, Ending, Failed };
  void ContinueHandshake();
  void FailTls(const std::string& why);
  int ReceiveTls(char* buffer, int size);
  void TryToSendTls();
  void SendCloseNotify();
  void PostPendingRead();
  bool TlsWaitsToRead() const;
  bool TlsWaitsToWrite() const;

  // Sending.
  void TryToSend();
  int RawSend(const char* data, int length);

  // Events, raised with a copy of the handler so that it may be reassigned
  // while it runs.
  void RaiseSessionClosed(int error);
  void RaiseSessionConnected(int error);
  void RaiseDataSent(int error);
  bool RaiseDataAvailable(int error);

  std::unique_ptr<SocketEvents> events_;
  std::string addr_, port_, local_addr_ = "0.0.0.0", local_port_ = "0";
  // How far the remote address and port have got: not given (or forgotten
  // when the socket closed), given, or resolved into remote_.
  enum class Setting { Unset, Given, Resolved };
  Setting addr_setting_ = Setting::Unset, port_setting_ = Setting::Unset;
  bool local_port_resolved_ = false;
  int local_port_number_ = 0;
  SocketAddress remote_;
  int remote_port_ = 0;
  std::string dns_result_;
  std::vector<std::string> dns_result_list_;
  std::uint64_t lookup_id_ = 0;
  SocketState state_ = SocketState::wsClosed;
  long long read_count_ = 0;
  int last_error_ = 0;
  std::string last_error_message_;

  int fd_ = -1;
  std::uint64_t serial_ = 0;  // tells the current handle from released ones
  unsigned mask_ = 0;         // the notice bits the socket asks for
  bool paused_ = false;
  bool write_notice_owed_ = false;  // a write notice is owed (after connecting, or after a send)
  bool read_blocked_ = false;       // read notices wait for the next Receive
  bool end_seen_ = false;           // the peer's end (or a hard error) was noticed
  unsigned receive_calls_ = 0;
  // The socket is being destroyed: by its owner, or by FreeLater from
  // inside events_, which must then outlive the destructor.
  enum class Ending { Alive, Destroyed, FreedLater };
  Ending ending_ = Ending::Alive;
  bool close_notified_ = false;

  SendQueue queue_;
  bool all_sent_ = true;

  std::unique_ptr<TlsChannel> tls_;
  TlsPhase tls_phase_ = TlsPhase::None;
  TlsChannel::Result tls_want_ = TlsChannel::Result::Done;  // what the stalled TLS step waits for
  bool close_notify_sent_ = false;
  // A copy of the queue's first unsent bytes, up to one full record, handed
  // to the TLS layer and handed again, unchanged, while it waits to write.
  std::string tls_record_;
  bool pending_read_posted_ = false;  // a read notice for plaintext held inside TLS is on its way
  std::string tls_error_;
};

}  // namespace kestova
