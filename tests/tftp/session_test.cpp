// The upload session against a client on loopback: the server's socket is one
// the test binds, and the image is one the test chooses.
#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "port/testing.h"
#include "tftp/tftp.h"
#include "tftp_fixture.h"
#include "upgrade/upgrade.h"

namespace {

using tftptest::BlockOf;
using tftptest::Bytes;
using tftptest::kLoopback;
using tftptest::Opcode;
using tftptest::Packet;
using tftptest::TftpClient;
using tftptest::TraceRecorder;

constexpr int kPacketWaitMs = 3000;

class SessionTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (server_.joinable()) server_.join();
    std::free(session_);  // the reboot wait releases it in the program
    PortSetClock(0, 1);
  }

  // Serves an image of this many bytes (a counting pattern) to a fresh client.
  void Start(std::uint32_t size) {
    image_.resize(size);
    for (std::uint32_t i = 0; i < size; ++i) image_[i] = static_cast<unsigned char>((i * 7u + i / 512u) & 0xffu);
    FirmwareImage.bytes = image_.data();
    FirmwareImage.size = size;
    std::uint16_t serverPort = 0;
    serverSocket_ = tftptest::BoundLoopbackSocket(&serverPort);
    client_ = std::make_unique<TftpClient>(serverPort);
    session_ = NewTftpSession(serverSocket_, kLoopback, serverPort, kLoopback, client_->port, "/zem1f.bin");
    server_ = std::thread([this] { outcome_ = TransferImage(session_, nullptr); });
  }

  TransferOutcome Finish() {
    server_.join();
    return outcome_;
  }

  bool ServerSocketClosed() const { return fcntl(serverSocket_, F_GETFD) == -1 && errno == EBADF; }

  Packet Next() {
    Packet packet;
    EXPECT_TRUE(client_->Receive(&packet, kPacketWaitMs)) << "no packet from the server";
    return packet;
  }

  // Acknowledges every packet until the short block; returns the DATA packets.
  std::vector<Packet> DownloadRest(Packet first) {
    std::vector<Packet> data;
    Packet packet = first;
    for (;;) {
      if (Opcode(packet) == 6) {
        client_->SendAck(0);
      } else if (Opcode(packet) == 3) {
        data.push_back(packet);
        client_->SendAck(BlockOf(packet));
        if (packet.size() < 4 + 512) break;
      } else {
        ADD_FAILURE() << "unexpected opcode " << Opcode(packet);
        break;
      }
      packet = Next();
      if (packet.empty()) break;
    }
    return data;
  }

  std::vector<unsigned char> image_;
  SOCKET serverSocket_ = -1;
  std::unique_ptr<TftpClient> client_;
  TftpSession* session_ = nullptr;
  std::thread server_;
  TransferOutcome outcome_ = kUploadFailed;
};

Packet OptionAck(const std::string& size) {
  return Bytes(std::string("\0\6tsize\0", 8) + size + std::string("\0timeout\0" "5\0", 11));
}

struct ImageCase {
  std::uint32_t size;
  std::uint32_t blocks;
  std::uint32_t lastBlock;
  std::size_t oackLength;
};

void PrintTo(const ImageCase& c, std::ostream* out) { *out << c.size << " bytes"; }

class ImageSizeTest : public SessionTest, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ImageSizeTest, ServesTheWholeImageInLockStep) {
  const ImageCase c = GetParam();
  TraceRecorder traces;
  Start(c.size);
  EXPECT_EQ(c.blocks, session_->blockCount);
  EXPECT_EQ(c.lastBlock, session_->lastBlockSize);

  Packet oack = Next();
  EXPECT_EQ(OptionAck(std::to_string(c.size)), oack);
  EXPECT_EQ(c.oackLength, oack.size());

  std::vector<Packet> data = DownloadRest(oack);
  EXPECT_EQ(kUploaded, Finish());
  ASSERT_EQ(c.blocks, data.size());
  std::vector<unsigned char> received;
  for (std::size_t k = 0; k < data.size(); ++k) {
    EXPECT_EQ(k + 1, BlockOf(data[k])) << "packet " << k;
    EXPECT_EQ(k + 1 < data.size() ? 512u : c.lastBlock, data[k].size() - 4) << "block " << k + 1;
    received.insert(received.end(), data[k].begin() + 4, data[k].end());
  }
  EXPECT_TRUE(received == image_) << "the blocks do not add up to the image";
  EXPECT_EQ(c.blocks + 1, session_->blockCounter);
  EXPECT_EQ(c.size, session_->bytesAcknowledged);

  // After the final acknowledgement nothing more comes and the port is shut.
  Packet late;
  EXPECT_FALSE(client_->Receive(&late, 200));
  EXPECT_TRUE(ServerSocketClosed());
  EXPECT_EQ(1, TraceRecorder::Count("All blocks ack'd\n"));
  EXPECT_EQ(0, TraceRecorder::Count("ReSend option ack\n"));
  char sizeTrace[64];
  std::snprintf(sizeTrace, sizeof sizeTrace, "++++size %u, %u, %u\n", c.size, c.lastBlock, c.blocks);
  EXPECT_EQ(1, TraceRecorder::Count(sizeTrace));
}

INSTANTIATE_TEST_SUITE_P(Images, ImageSizeTest,
                         ::testing::Values(ImageCase{748972, 1463, 428, 25},  // the sample image
                                           ImageCase{1024, 3, 0, 23},         // a multiple of 512: empty last block
                                           ImageCase{1000, 2, 488, 23},
                                           ImageCase{0, 1, 0, 20}),           // one empty block
                         [](const ::testing::TestParamInfo<ImageCase>& info) {
                           return "Bytes" + std::to_string(info.param.size);
                         });

TEST_F(SessionTest, AClientThatNeverAcknowledgesGetsTheOptionAckThirtyTimes) {
  TraceRecorder traces;
  PortSetClock(0, 20);  // the client never answers, so the 100-pass timeouts may run fast
  Start(1000);
  EXPECT_EQ(kUploadFailed, Finish());
  std::vector<Packet> packets = client_->Drain();
  ASSERT_EQ(30u, packets.size());
  for (const Packet& p : packets) EXPECT_EQ(OptionAck("1000"), p);
  EXPECT_EQ(29, TraceRecorder::Count("ReSend option ack\n"));
  EXPECT_EQ(1, TraceRecorder::Count("Timeout for ack; upgrade failed\n"));
  EXPECT_TRUE(ServerSocketClosed());
}

TEST_F(SessionTest, AClientThatStopsMidwayGetsTheCurrentBlock29MoreTimes) {
  TraceRecorder traces;
  Start(5000);  // ten blocks
  Next();  // the OACK
  client_->SendAck(0);
  for (unsigned block = 1; block <= 4; ++block) {
    Packet data = Next();
    ASSERT_EQ(block, BlockOf(data));
    client_->SendAck(block);
  }
  Packet current = Next();
  ASSERT_EQ(5u, BlockOf(current));
  PortSetClock(0, 20);  // from here on nobody answers
  EXPECT_EQ(kUploadFailed, Finish());
  std::vector<Packet> again = client_->Drain();
  ASSERT_EQ(29u, again.size());
  for (const Packet& p : again) EXPECT_EQ(current, p);
  EXPECT_EQ(29, TraceRecorder::Count("ReSend block 5\n"));
  EXPECT_EQ(2048u, session_->bytesAcknowledged);
  EXPECT_TRUE(ServerSocketClosed());
}

TEST_F(SessionTest, RepeatedAcknowledgementsSendNothing) {
  Start(1500);  // three blocks
  Next();  // the OACK
  client_->SendAck(0);
  Packet first = Next();
  ASSERT_EQ(1u, BlockOf(first));
  for (int i = 0; i < 10; ++i) client_->SendAck(0);  // the OACK's ack again
  client_->SendAck(1);
  Packet second = Next();
  EXPECT_EQ(2u, BlockOf(second)) << "a repeated ack was answered";
  for (int i = 0; i < 10; ++i) client_->SendAck(1);
  client_->SendAck(7);  // a stray one
  std::vector<Packet> rest = DownloadRest(second);
  EXPECT_EQ(kUploaded, Finish());
  ASSERT_EQ(2u, rest.size());
  EXPECT_EQ(3u, BlockOf(rest[1]));
  EXPECT_TRUE(client_->Drain().empty());
}

TEST_F(SessionTest, AnAckFromAnotherPortIsTracedAndDropped) {
  TraceRecorder traces;
  Start(700);
  Next();  // the OACK
  TftpClient stranger(client_->serverPort);  // same address, another port
  stranger.SendAck(0);
  // Only the peer's own acknowledgement moves the transfer on.
  client_->SendAck(0);
  std::vector<Packet> data = DownloadRest(Next());
  EXPECT_EQ(kUploaded, Finish());
  ASSERT_EQ(2u, data.size());
  EXPECT_EQ(1u, BlockOf(data[0]));
  char expected[64];
  std::snprintf(expected, sizeof expected, "Unknown source request in session: 7f000001:%u", stranger.port);
  EXPECT_EQ(1, TraceRecorder::Count(expected));
  EXPECT_TRUE(stranger.Drain().empty());
}

TEST_F(SessionTest, AStrangersAckAloneDoesNotStartTheTransfer) {
  Start(700);
  Packet oack = Next();
  TftpClient stranger(client_->serverPort);
  stranger.SendAck(0);
  Packet next = Next();  // the OACK once more, after a timeout
  EXPECT_EQ(oack, next);
  DownloadRest(next);
  EXPECT_EQ(kUploaded, Finish());
}

TEST_F(SessionTest, AnErrorPacketIsSilence) {
  TraceRecorder traces;
  Start(700);
  Packet oack = Next();
  client_->Send(Bytes(std::string("\0\5\0\0no thanks\0", 14)));
  // The session neither ends nor answers: the next packet is the timeout's OACK.
  Packet next = Next();
  EXPECT_EQ(oack, next);
  EXPECT_EQ(1, TraceRecorder::Count("ReSend option ack\n"));
  DownloadRest(next);
  EXPECT_EQ(kUploaded, Finish());
}

TEST(TftpPacketTest, BigEndianHalves) {
  unsigned char buffer[2];
  PutUint16BE(buffer, 0x12345u);  // only the low 16 bits go on the wire
  EXPECT_EQ(0x23, buffer[0]);
  EXPECT_EQ(0x45, buffer[1]);
  const unsigned char high[2] = {0xff, 0xfe};
  EXPECT_EQ(0xfffeu, GetUint16BE(high));
}

TEST(TftpSessionDeathTest, AnImageBeyond65535BlocksIsRefused) {
  static unsigned char byte;
  FirmwareImage.bytes = &byte;
  FirmwareImage.size = kImageSizeLimit;
  EXPECT_EXIT(NewTftpSession(-1, kLoopback, 69, kLoopback, 1000, "/zem1.bin"), ::testing::ExitedWithCode(1),
              "too large for TFTP");
}

}  // namespace
