// The listener's judgement of each datagram, on a socket the test binds on 127.0.0.1.
#include <cctype>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/socket_wait.h"
#include "tftp/tftp.h"
#include "tftp_fixture.h"
#include "upgrade/upgrade.h"

namespace {

using tftptest::Bytes;
using tftptest::kLoopback;
using tftptest::Packet;
using tftptest::TftpClient;
using tftptest::TraceRecorder;

class ListenerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&listener_, 0, sizeof listener_);
    listener_.socket = tftptest::BoundLoopbackSocket(&listener_.port);
    listener_.localAddress = kLoopback;
    u_long nonBlocking = 1;
    ioctlsocket(listener_.socket, FIONBIO, &nonBlocking);
    std::snprintf(TftpFileName, sizeof TftpFileName, "/zem1f.bin");
    client_ = std::make_unique<TftpClient>(listener_.port);
  }
  void TearDown() override { close(listener_.socket); }

  // Sends the datagram and returns the listener's verdict on it.
  ListenerVerdict Judge(const Packet& datagram) {
    client_->Send(datagram);
    EXPECT_TRUE(WaitForDatagram(listener_.socket, 2000));
    return ReceiveListenerDatagram(&listener_, &peerAddress_, &peerPort_, &fileName_);
  }

  TftpListener listener_;
  std::unique_ptr<TftpClient> client_;
  std::uint32_t peerAddress_ = 0;
  std::uint16_t peerPort_ = 0;
  const char* fileName_ = nullptr;
};

Packet ReadRequest(const std::string& name, const std::string& rest = std::string("octet\0", 6)) {
  return Bytes(std::string("\0\1", 2) + name + std::string(1, '\0') + rest);
}

TEST_F(ListenerTest, TheExpectedNameIsAcceptedWhateverItsModeAndOptions) {
  EXPECT_EQ(kListenerIdle, ReceiveListenerDatagram(&listener_, &peerAddress_, &peerPort_, &fileName_));
  ASSERT_EQ(kListenerAccepted, Judge(ReadRequest("/zem1f.bin", std::string("netascii\0tsize\0" "0\0", 17))));
  EXPECT_STREQ("/zem1f.bin", fileName_);
  EXPECT_EQ(kLoopback, peerAddress_);
  EXPECT_EQ(client_->port, peerPort_);
  EXPECT_EQ(kListenerAccepted, Judge(ReadRequest("/zem1f.bin", "")));
}

struct IgnoredCase {
  const char* what;
  Packet datagram;
  const char* trace;  // nullptr: none
};

void PrintTo(const IgnoredCase& c, std::ostream* out) { *out << c.what; }

class IgnoredDatagramTest : public ListenerTest, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(IgnoredDatagramTest, IsTracedAndNotAnswered) {
  const IgnoredCase& c = GetParam();
  TraceRecorder traces;
  EXPECT_EQ(kListenerIgnored, Judge(c.datagram)) << c.what;
  if (c.trace != nullptr) {
    EXPECT_EQ(1, TraceRecorder::Count(c.trace)) << c.what;
  } else {
    EXPECT_TRUE(TraceRecorder::Take().empty()) << c.what;
  }
  EXPECT_TRUE(client_->Drain().empty()) << c.what;
  // Listening goes on: the right request is still accepted afterwards.
  EXPECT_EQ(kListenerAccepted, Judge(ReadRequest("/zem1f.bin")));
}

Packet Unterminated() {
  Packet p(kTftpPacketSize, 'a');
  p[0] = 0;
  p[1] = 1;
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Datagrams, IgnoredDatagramTest,
    ::testing::Values(
        IgnoredCase{"another name", ReadRequest("/zem2f.bin"), "+++ Bad TFTP RRQ filename /zem2f.bin\n"},
        IgnoredCase{"other letter case", ReadRequest("/ZEM1F.BIN"), "+++ Bad TFTP RRQ filename /ZEM1F.BIN\n"},
        IgnoredCase{"no leading slash", ReadRequest("zem1f.bin"), "+++ Bad TFTP RRQ filename zem1f.bin\n"},
        IgnoredCase{"a longer name", ReadRequest("/zem1f.bin.old"), "+++ Bad TFTP RRQ filename /zem1f.bin.old\n"},
        IgnoredCase{"write request", Bytes(std::string("\0\2/zem1f.bin\0octet\0", 19)), "TFTP Rx WRQ?\n"},
        IgnoredCase{"data", Bytes(std::string("\0\3\0\1abc", 7)), "TFTP Rx Data?\n"},
        IgnoredCase{"ack", Bytes(std::string("\0\4\0\0", 4)), "TFTP Rx ACK?\n"},
        IgnoredCase{"error", Bytes(std::string("\0\5\0\1oops\0", 9)), "TFTP Rx Error?\n"},
        IgnoredCase{"option ack", Bytes(std::string("\0\6tsize\0" "1\0", 10)), nullptr},
        IgnoredCase{"opcode 0", Bytes(std::string("\0\0/zem1f.bin\0", 13)), nullptr},
        IgnoredCase{"one byte", Bytes(std::string("\1", 1)), nullptr},
        IgnoredCase{"name without its zero byte", Bytes(std::string("\0\1/zem1f.bin", 12)),
                    "+++ Unterminated TFTP RRQ filename (12 bytes)\n"},
        IgnoredCase{"a full buffer without a zero byte", Unterminated(),
                    "+++ Unterminated TFTP RRQ filename (1024 bytes)\n"}),
    [](const ::testing::TestParamInfo<IgnoredCase>& info) {
      std::string name;
      for (const char* c = info.param.what; *c != '\0'; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
      return name;
    });

TEST_F(ListenerTest, StaleBytesOfAnEarlierDatagramAreNotReadAsTheName) {
  // A long request leaves its bytes in the buffer; a short unterminated one after
  // it must not borrow them to complete "/zem1f.bin".
  EXPECT_EQ(kListenerIgnored, Judge(ReadRequest("/zem1f.binXXXX")));
  EXPECT_EQ(kListenerIgnored, Judge(Bytes(std::string("\0\1/zem1f", 8))));
  std::memcpy(listener_.receiveBuffer + 2, "/zem1f.bin", 11);
  EXPECT_EQ(kListenerIgnored, Judge(Bytes(std::string("\0\1/zem1f.bin", 12))));
}

}  // namespace
