// TLS on the event-driven socket against a server built on OpenSSL's
// blocking calls in a thread of its own: data both ways through records,
// close_notify each way, session resumption, and a handshake that fails.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "net/async_socket.h"
#include "net/event_wait.h"
#include "net/socket_recorder.h"
#include "net/tls_channel.h"
#include "support/ftp_servers.h"
#include "support/loopback_peer.h"

namespace kestova {
namespace {

using namespace std::chrono_literals;
using testing::Aim;
using testing::RawListener;
using testing::WaitFor;

std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(((i + seed) * 2654435761u) >> 13);
  return data;
}

// The server's side: one context (with its session cache, so that clients
// may resume) and one blocking connection at a time.
class TlsServer {
 public:
  explicit TlsServer(int max_version) {
    std::string why;
    const testing::TestCertificates* certificates = testing::TestCertificates::Get(why);
    EXPECT_TRUE(certificates) << why;
    fingerprint_ = certificates->signed_by_ca.fingerprint;
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_max_proto_version(ctx_, max_version);
    SSL_CTX_use_certificate_chain_file(ctx_, certificates->signed_by_ca.cert.c_str());
    SSL_CTX_use_PrivateKey_file(ctx_, certificates->signed_by_ca.key.c_str(), SSL_FILETYPE_PEM);
  }
  ~TlsServer() { SSL_CTX_free(ctx_); }

  // Takes the next connection and shakes hands; nullptr when that fails.
  SSL* Accept() {
    const int fd = listener_.Accept();
    if (fd < 0) return nullptr;
    SSL* ssl = SSL_new(ctx_);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
      End(ssl);
      return nullptr;
    }
    return ssl;
  }
  static void End(SSL* ssl) {
    const int fd = SSL_get_fd(ssl);
    SSL_free(ssl);
    ::close(fd);
  }

  RawListener& Listener() { return listener_; }
  const std::string& Fingerprint() const { return fingerprint_; }

 private:
  RawListener listener_;
  SSL_CTX* ctx_ = nullptr;
  std::string fingerprint_;
};

// A client socket aimed at the server, TLS started once connected.
struct TlsClient {
  AsyncSocket socket;
  std::string received;
  int tls_done = -1;
  bool closed = false;

  TlsClient(const std::string& port, const TlsSettings& settings) {
    Aim(socket, port);
    socket.LingerOnOff = SocketLingerOnOff::wsLingerOff;
    socket.OnSessionConnected = [settings](AsyncSocket& s, int error) {
      if (error == 0) s.StartTls(settings);
    };
    socket.OnTlsDone = [this](AsyncSocket&, int error) { tls_done = error; };
    socket.OnDataAvailable = [this](AsyncSocket& s, int) {
      char buffer[5000];  // smaller than a record: the rest waits inside OpenSSL
      for (int got; (got = s.Receive(buffer, sizeof buffer)) > 0;) received.append(buffer, static_cast<size_t>(got));
    };
    socket.OnSessionClosed = [this](AsyncSocket&, int) { closed = true; };
    socket.Connect();
  }
};

TEST(AsyncSocketTls, MebibytesBothWaysThenCloseNotifyAndTheNextConnectionResumes) {
  for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
    SCOPED_TRACE(version == TLS1_2_VERSION ? "TLS 1.2" : "TLS 1.3");
    TlsServer server(version);
    constexpr size_t kUp = 3 << 20, kDown = (2 << 20) + 12345;
    const std::string up = Pattern(kUp, 1), down = Pattern(kDown, 7);
    std::string got_up;
    std::atomic<int> ends_seen{0}, resumed{0};
    std::thread peer([&] {
      for (int connection = 0; connection < 2; ++connection) {
        SSL* ssl = server.Accept();
        if (!ssl) return;
        resumed += SSL_session_reused(ssl);
        char buffer[16384];
        size_t got = 0;
        while (got_up.size() < kUp * (connection + 1) && SSL_read_ex(ssl, buffer, sizeof buffer, &got) == 1) {
          got_up.append(buffer, got);
        }
        size_t put = 0;
        SSL_write_ex(ssl, down.data(), down.size(), &put);
        // The client's close must come as close_notify, not as a bare end.
        const int code = SSL_read_ex(ssl, buffer, sizeof buffer, &got);
        if (code == 0 && SSL_get_error(ssl, code) == SSL_ERROR_ZERO_RETURN) ++ends_seen;
        TlsServer::End(ssl);
      }
    });
    const auto context = TlsContext::Create();
    for (int connection = 0; connection < 2; ++connection) {
      TlsClient client(server.Listener().Port(), TlsSettings{context, "127.0.0.1", context->Take()});
      ASSERT_TRUE(WaitFor([&] { return client.tls_done >= 0; }));
      ASSERT_EQ(client.tls_done, 0) << client.socket.TlsError();
      ASSERT_TRUE(client.socket.TlsOpen());
      EXPECT_EQ(client.socket.Tls()->Certificate().fingerprint, server.Fingerprint());
      EXPECT_EQ(client.socket.Tls()->Resumed(), connection == 1);
      for (size_t offset = 0; offset < kUp; offset += 100000) {
        const int piece = static_cast<int>(std::min<size_t>(100000, kUp - offset));
        ASSERT_EQ(client.socket.Send(up.data() + offset, piece), piece);
      }
      ASSERT_TRUE(WaitUntil([&] { return client.received.size() >= kDown; }, 30s));
      EXPECT_TRUE(client.received == down) << "the bytes from the server arrived changed";
      client.socket.Close();
    }
    peer.join();
    EXPECT_EQ(got_up.size(), 2 * kUp);
    EXPECT_TRUE(got_up == up + up) << "the bytes to the server arrived changed";
    EXPECT_EQ(ends_seen, 2);
    EXPECT_EQ(resumed, 1);
  }
}

TEST(AsyncSocketTls, TheServersCloseNotifyEndsTheSessionAfterItsDataAndAFailedHandshakeSaysWhy) {
  TlsServer server(TLS1_3_VERSION);
  std::thread peer([&] {
    if (SSL* ssl = server.Accept()) {
      size_t put = 0;
      SSL_write_ex(ssl, "last words", 10, &put);
      SSL_shutdown(ssl);
      char byte;
      ::recv(SSL_get_fd(ssl), &byte, 1, 0);  // until the client has closed
      TlsServer::End(ssl);
    }
  });
  {
    TlsClient client(server.Listener().Port(), TlsSettings{TlsContext::Create(), "127.0.0.1", nullptr});
    ASSERT_TRUE(WaitFor([&] { return client.closed; }));
    EXPECT_EQ(client.tls_done, 0);
    EXPECT_EQ(client.received, "last words");
  }
  peer.join();

  // A server that answers the handshake in plain text.
  std::thread plain([&] {
    const int fd = server.Listener().Accept();
    const std::string greeting = "220 plain FTP only\r\n";
    ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
    char buffer[512];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    ::close(fd);
  });
  TlsClient client(server.Listener().Port(), TlsSettings{TlsContext::Create(), "127.0.0.1", nullptr});
  int closes = 0;
  client.socket.OnSessionClosed = [&](AsyncSocket&, int) { ++closes; };
  ASSERT_TRUE(WaitFor([&] { return closes > 0; }));
  EXPECT_GT(client.tls_done, 0);
  EXPECT_FALSE(client.socket.TlsError().empty());
  EXPECT_EQ(client.socket.State(), SocketState::wsClosed);
  plain.join();
  EXPECT_FALSE(WaitUntil([&] { return closes > 1; }, 100ms)) << "closed twice";
}

}  // namespace
}  // namespace kestova
