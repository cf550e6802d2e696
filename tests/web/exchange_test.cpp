// The HTTP exchange against a real TCP server on 127.0.0.1 that each test
// runs in a thread of its own. Each test starts its local ports at a base of
// its own, so that test programs run side by side do not take each other's ports.
#include <errno.h>
#include <sys/resource.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/sockaddr.h"
#include "common/text.h"
#include "digest/digest.h"
#include "upgrade/upgrade.h"
#include "web/web.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7f000001;
constexpr char kStatusRequest[] = "GET /admin/advanced HTTP/1.1\r\nHost: 192.168.1.1\r\n\r\n";

// One connection: read the request (up to its empty line), send the answer,
// close the sending side, then wait for the client to close.
class TestServer {
 public:
  explicit TestServer(std::string answer) : answer_(std::move(answer)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address;
    FillSocketAddress(kLoopback, 0, &address);
    EXPECT_EQ(0, bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address));
    EXPECT_EQ(0, listen(listener_, 4));
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    std::uint32_t unused;
    UnpackSocketAddress(&address, &unused, &port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TestServer() {
    Join();
    close(listener_);
  }

  std::uint16_t port() const { return port_; }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  // Valid after Join().
  const std::string& request() const { return request_; }
  std::uint16_t peerPort() const { return peerPort_; }
  std::uint32_t peerAddress() const { return peerAddress_; }
  bool clientClosed() const { return clientClosed_; }

 private:
  void Serve() {
    sockaddr_in peer;
    socklen_t length = sizeof peer;
    int s = accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
    if (s < 0) return;
    UnpackSocketAddress(&peer, &peerAddress_, &peerPort_);
    timeval timeout{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char chunk[4096];
    while (request_.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = recv(s, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      request_.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t sent = 0;
    while (sent < answer_.size()) {
      // The client may stop reading at its limit and close: no SIGPIPE here.
      ssize_t n = ::send(s, static_cast<const void*>(answer_.data() + sent), answer_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    shutdown(s, SHUT_WR);
    for (;;) {
      ssize_t n = recv(s, chunk, sizeof chunk, 0);
      if (n == 0 || (n < 0 && errno == ECONNRESET)) {
        clientClosed_ = true;
        break;
      }
      if (n < 0) break;  // time-out: the client kept its socket open
    }
    close(s);
  }

  std::string answer_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::string request_;
  std::uint16_t peerPort_ = 0;
  std::uint32_t peerAddress_ = 0;
  bool clientClosed_ = false;
};

// Holds local ports on 127.0.0.1 (bound, not listening) while it lives.
class TakenPorts {
 public:
  TakenPorts(std::uint16_t first, int count) {
    for (int i = 0; i < count; ++i) {
      int s = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in address;
      FillSocketAddress(kLoopback, static_cast<std::uint16_t>(first + i), &address);
      EXPECT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address))
          << "port " << first + i << " is already in use on this machine";
      sockets_.push_back(s);
    }
  }
  ~TakenPorts() {
    for (int s : sockets_) close(s);
  }

 private:
  std::vector<int> sockets_;
};

// A port on 127.0.0.1 where nothing listens.
std::uint16_t DeadPort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address;
  FillSocketAddress(kLoopback, 0, &address);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  close(s);
  std::uint32_t unused;
  std::uint16_t port;
  UnpackSocketAddress(&address, &unused, &port);
  return port;
}

const std::string kStatusPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><table>"
    "<tr><td>Product Name:</td><td>ZEM-200</td></tr>"
    "<tr><td>MAC Address:</td><td>00:0e:08:aa:bb:cc</td></tr>"
    "<tr><td>Software Version:</td><td>2.4.6</td></tr>"
    "<tr><td>Hardware Version:</td><td>rev C</td></tr>"
    "<tr><td>Serial Number:</td><td>SN123</td></tr>"
    "</table></html>";

class ExchangeTest : public testing::Test {
 protected:
  void SetUp() override {
    std::memset(&AuthState, 0, sizeof AuthState);
    std::memset(&DeviceInfo, 0, sizeof DeviceInfo);
    std::memset(ResponseBuffer, '#', sizeof ResponseBuffer);
  }

  int Exchange(const TestServer& server, std::uint16_t localPort, const char* path = kStatusPagePath) {
    return HttpExchange(kLoopback, localPort, kLoopback, server.port(), path, ResponseBuffer, kResponseLimit);
  }
};

TEST_F(ExchangeTest, StatusPageFillsTheFieldsAndReturnsTheByteCount) {
  TestServer server(kStatusPage);
  int result = Exchange(server, 24000);
  server.Join();
  EXPECT_EQ(kStatusRequest, server.request()) << "no other header, no body";
  EXPECT_EQ(static_cast<int>(kStatusPage.size()), result);
  EXPECT_EQ(kStatusPage, std::string(ResponseBuffer));
  EXPECT_STREQ("ZEM-200", DeviceInfo.ProductName);
  EXPECT_STREQ("00:0e:08:aa:bb:cc", DeviceInfo.MacAddress);
  EXPECT_STREQ("2.4.6", DeviceInfo.SoftwareVersion);
  EXPECT_STREQ("rev C", DeviceInfo.HardwareVersion);
  EXPECT_STREQ("SN123", DeviceInfo.SerialNumber);
  EXPECT_EQ(0u, AuthState.nonceCount);
  EXPECT_EQ(kLoopback, server.peerAddress());
  EXPECT_TRUE(server.clientClosed());
}

TEST_F(ExchangeTest, LocalPortIs23456OrTheNextFreeOne) {
  struct Case {
    int taken;
    std::uint16_t expected;
  } cases[] = {{0, 23456}, {4, 23460}};
  for (const Case& c : cases) {
    TakenPorts taken(kFirstLocalHttpPort, c.taken);
    TestServer server(kStatusPage);
    EXPECT_EQ(static_cast<int>(kStatusPage.size()), Exchange(server, kFirstLocalHttpPort));
    server.Join();
    EXPECT_EQ(c.expected, server.peerPort()) << c.taken << " ports taken";
  }
}

TEST_F(ExchangeTest, PasswordAddsTheAuthorizationLineAfterRaisingTheCount) {
  CopyText(AuthState.nonce, "abc");
  CopyText(AuthState.lastNonce, "abc");
  CopyText(AuthState.cnonce, "1f");
  CopyText(AuthState.realm, "ZEM");
  CopyText(AuthState.qop, "auth");
  CopyText(AuthState.username, "admin");
  CopyText(AuthState.password, "secret");
  AuthStateRecord expectedState = AuthState;
  expectedState.nonceCount = 1;
  const char path[] = "/admin/upgrade?tftp://127.0.0.1:69/zem1a.bin";
  char line[kAuthorizationLineMax + 1];
  BuildAuthorizationHeader(&expectedState, path, line);

  TestServer server("HTTP/1.1 200 OK\r\n\r\n");
  Exchange(server, 24200, path);
  server.Join();
  EXPECT_EQ(1u, AuthState.nonceCount);
  EXPECT_EQ(std::string("GET ") + path + " HTTP/1.1\r\nHost: 192.168.1.1\r\n" + line + "\r\n", server.request());
  EXPECT_NE(std::string::npos, server.request().find(",nc=000000001,"));
  EXPECT_STREQ(path, AuthState.uri);
}

TEST_F(ExchangeTest, ChallengeReturnsMinusOneWithoutExtraction) {
  const std::string answer =
      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ZEM\", nonce=\"n1\", qop=\"auth\"\r\n\r\n"
      "<td>Product Name:</td><td>should not be read</td>";
  CopyText(DeviceInfo.ProductName, "earlier");
  TestServer server(answer);
  EXPECT_EQ(-1, Exchange(server, 24400));
  server.Join();
  EXPECT_STREQ("earlier", DeviceInfo.ProductName);
  EXPECT_STREQ("n1", AuthState.nonce);
  EXPECT_STREQ("auth", AuthState.qop);
  EXPECT_TRUE(server.clientClosed()) << "the socket is closed on the -1 path too";
}

// Any answer but a usable challenge is searched: other statuses, HTTP/1.0, a
// 401 without realm.
TEST_F(ExchangeTest, EveryOtherAnswerFeedsTheFields) {
  const std::string answers[] = {
      "HTTP/1.0 200 OK\r\n\r\n<td>Serial Number:</td><td>A</td>",
      "HTTP/1.1 404 Not Found\r\n\r\n<td>Serial Number:</td><td>B</td>",
      "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest nonce=\"x\"\r\n\r\n<td>Serial Number:</td><td>C</td>",
      "HTTP/1.1",
  };
  const char* expected[] = {"A", "B", "C", "C"};
  std::uint16_t port = 24600;
  for (std::size_t i = 0; i < std::size(answers); ++i) {
    TestServer server(answers[i]);
    EXPECT_EQ(static_cast<int>(answers[i].size()), Exchange(server, port)) << answers[i];
    server.Join();
    EXPECT_STREQ(expected[i], DeviceInfo.SerialNumber) << answers[i];
    EXPECT_TRUE(server.clientClosed()) << answers[i];
  }
}

TEST_F(ExchangeTest, LongAnswerStopsAtTheLimitWithAZeroAfterIt) {
  std::string answer = "HTTP/1.1 200 OK\r\n\r\n";
  answer += std::string(200000 - answer.size(), 'x');
  TestServer server(answer);
  EXPECT_EQ(kResponseLimit, Exchange(server, 24800));
  server.Join();
  EXPECT_EQ('\0', ResponseBuffer[kResponseLimit]);
  EXPECT_EQ(0, std::memcmp(answer.data(), ResponseBuffer, static_cast<std::size_t>(kResponseLimit)));
}

// A smaller limit in a larger buffer: nothing is written past limit + 1.
TEST_F(ExchangeTest, NothingWrittenPastTheLimitAndItsZero) {
  TestServer server(kStatusPage);
  EXPECT_EQ(100, HttpExchange(kLoopback, 25000, kLoopback, server.port(), kStatusPagePath, ResponseBuffer, 100));
  server.Join();
  EXPECT_EQ('\0', ResponseBuffer[100]);
  EXPECT_EQ('#', ResponseBuffer[101]);
  EXPECT_EQ(0, std::memcmp(kStatusPage.data(), ResponseBuffer, 100));
}

TEST_F(ExchangeTest, ZeroByteInsideTheAnswerHidesTheLabelsButCounts) {
  std::string answer = "HTTP/1.1 200 OK\r\n\r\n";
  answer += '\0';
  answer += "<td>Product Name:</td><td>hidden</td>";
  TestServer server(answer);
  EXPECT_EQ(static_cast<int>(answer.size()), Exchange(server, 25200));
  server.Join();
  EXPECT_STREQ("", DeviceInfo.ProductName);
}

TEST_F(ExchangeTest, ImmediateCloseGivesZero) {
  CopyText(DeviceInfo.SoftwareVersion, "1.0");
  TestServer server("");
  EXPECT_EQ(0, Exchange(server, 25400));
  server.Join();
  EXPECT_EQ('\0', ResponseBuffer[0]) << "the response text is empty";
  EXPECT_STREQ("1.0", DeviceInfo.SoftwareVersion);
}

TEST(SocketAddressTest, RoundTripInNetworkOrder) {
  sockaddr_in address;
  std::memset(&address, 0xff, sizeof address);
  FillSocketAddress(0x0a4d0001, 0x1234, &address);
  EXPECT_EQ(AF_INET, address.sin_family);
  const unsigned char* port = reinterpret_cast<const unsigned char*>(&address.sin_port);
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(&address.sin_addr);
  EXPECT_EQ(0x12, port[0]);
  EXPECT_EQ(0x34, port[1]);
  EXPECT_EQ(10, ip[0]);
  EXPECT_EQ(1, ip[3]);
  std::uint32_t a = 0;
  std::uint16_t p = 0;
  UnpackSocketAddress(&address, &a, &p);
  EXPECT_EQ(0x0a4d0001u, a);
  EXPECT_EQ(0x1234, p);
  FillSocketAddress(0, 0, &address);
  EXPECT_EQ(static_cast<std::uint32_t>(INADDR_ANY), address.sin_addr.s_addr);
}

// ---- fatal paths, each in a child process ------------------------------------------
// The message box text reaches the child's standard error as "[title] text".
std::string FatalMessage(const char* text) { return std::string("ZEM Firwmare Upgrade Error\\] ") + text; }

class ExchangeDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ExchangeDeathTest, All101PortsTakenIsFatal) {
  EXPECT_EXIT(
      {
        TakenPorts taken(26000, 101);
        ConnectToDevice(kLoopback, 26000, kLoopback, DeadPort());
      },
      testing::ExitedWithCode(1), FatalMessage("Upgrade Failed: Can't bind HTTP socket"));
}

// One port short of all taken: the 101st bind succeeds and the walk goes on to
// the connect.
TEST_F(ExchangeDeathTest, The101stPortIsStillTried) {
  EXPECT_EXIT(
      {
        TakenPorts taken(26200, 100);
        ConnectToDevice(kLoopback, 26200, kLoopback, DeadPort());
      },
      testing::ExitedWithCode(1), FatalMessage("Upgrade Failed: Can't connect to ZEM"));
}

// The fatal failure ends the process from the worker thread that meets it.
TEST_F(ExchangeDeathTest, NothingListeningIsFatalFromTheWorkerThread) {
  EXPECT_EXIT(
      {
        std::thread worker(
            [] { HttpExchange(kLoopback, 26400, kLoopback, DeadPort(), kStatusPagePath, ResponseBuffer, kResponseLimit); });
        worker.join();
        std::exit(0);  // not reached
      },
      testing::ExitedWithCode(1), FatalMessage("Upgrade Failed: Can't connect to ZEM"));
}

// Lowers the descriptor limit and takes every descriptor left under it.
void UseUpDescriptors() {
  rlimit limit{64, 64};
  setrlimit(RLIMIT_NOFILE, &limit);
  while (dup(2) >= 0) {
  }
}

TEST_F(ExchangeDeathTest, NoSocketIsFatal) {
  EXPECT_EXIT(
      {
        UseUpDescriptors();
        ConnectToDevice(kLoopback, 26600, kLoopback, 80);
      },
      testing::ExitedWithCode(1), FatalMessage("Upgrade Failed: Can't open HTTP socket"));
}

}  // namespace
