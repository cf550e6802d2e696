// The upload session against a client on loopback: the server's socket is one
// the test binds, and the image is one the test chooses.
#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/text.h"
#include "tests/support/hooks.h"
#include "tests/support/operator.h"
#include "tftp/tftp.h"
#include "tftp_fixture.h"
#include "ui/ui.h"
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

  // Serves an image of this many bytes (a counting pattern) to a fresh client;
  // with a dialog, in a transfer dialog that the server's thread makes.
  void Start(std::uint32_t size, bool withDialog = false) {
    image_.resize(size);
    for (std::uint32_t i = 0; i < size; ++i) image_[i] = static_cast<unsigned char>((i * 7u + i / 512u) & 0xffu);
    FirmwareImage.bytes = image_.data();
    FirmwareImage.size = size;
    std::uint16_t serverPort = 0;
    serverSocket_ = tftptest::BoundLoopbackSocket(&serverPort);
    client_ = std::make_unique<TftpClient>(serverPort);
    session_ = NewTftpSession(serverSocket_, kLoopback, serverPort, kLoopback, client_->port, "/zem1f.bin");
    server_ = std::thread([this, withDialog] {
      HWND dialog = nullptr;
      if (withDialog) {
        dialog = OpenProgressDialog(ModuleInstance, kTransferDialog, static_cast<int>(session_->blockCount), nullptr);
      }
      outcome_ = TransferImage(session_, dialog);
      if (dialog != nullptr) DestroyWindow(dialog);
    });
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

  // Takes the OACK and blocks 1 to `last` as a quick peer does, each acknowledged
  // at once (and kept in *blocks when given); returns the next block, not yet acknowledged.
  Packet AcknowledgeThrough(unsigned last, std::map<unsigned, Packet>* blocks = nullptr) {
    Next();  // the OACK
    client_->SendAck(0);
    for (unsigned block = 1; block <= last; ++block) {
      Packet data = Next();
      EXPECT_EQ(block, BlockOf(data));
      if (blocks != nullptr) (*blocks)[block] = data;
      client_->SendAck(block);
    }
    Packet next = Next();
    EXPECT_EQ(last + 1, BlockOf(next));
    return next;
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

// The clock at the start: real time from 0, and just before the 32-bit
// millisecond clock wraps, which it does every 49.7 days.
struct ClockCase {
  const char* name;
  std::uint32_t startMs;
};

void PrintTo(const ClockCase& c, std::ostream* out) { *out << c.name; }

class SilentClientTest : public SessionTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(SilentClientTest, AClientThatNeverAcknowledgesGetsTheOptionAckThirtyTimes) {
  TraceRecorder traces;
  // The client never answers, so the timeouts may run ten times fast; the wrap
  // then comes a tenth of a second in.
  PortSetClock(GetParam().startMs, 10);
  std::uint32_t before = timeGetTime();
  Start(1000);
  EXPECT_EQ(kUploadFailed, Finish());
  std::uint32_t spent = timeGetTime() - before;
  std::vector<Packet> packets = client_->Drain();
  ASSERT_EQ(30u, packets.size());
  for (const Packet& p : packets) EXPECT_EQ(OptionAck("1000"), p);
  EXPECT_EQ(29, TraceRecorder::Count("ReSend option ack\n"));
  EXPECT_EQ(1, TraceRecorder::Count("Timeout for ack; upgrade failed\n"));
  EXPECT_TRUE(ServerSocketClosed());
  // Thirty timeouts of 100 ms each on the program's own clock, the wrap
  // notwithstanding: a burst of sends at the wrap would end it early.
  EXPECT_GE(spent, 30 * kRetransmitMs);
}

INSTANTIATE_TEST_SUITE_P(Clock, SilentClientTest,
                         ::testing::Values(ClockCase{"FromZero", 0}, ClockCase{"AcrossTheWrap", 0xffffffffu - 1000}),
                         [](const ::testing::TestParamInfo<ClockCase>& info) { return info.param.name; });

TEST_F(SessionTest, AClientThatStopsMidwayGetsTheCurrentBlock29MoreTimes) {
  TraceRecorder traces;
  Start(5000);  // ten blocks
  Packet current = AcknowledgeThrough(4);
  ASSERT_EQ(5u, BlockOf(current));
  PortSetClock(timeGetTime(), 20);  // from here on nobody answers: the same clock, running fast
  EXPECT_EQ(kUploadFailed, Finish());
  std::vector<Packet> again = client_->Drain();
  ASSERT_EQ(29u, again.size());
  for (const Packet& p : again) EXPECT_EQ(current, p);
  EXPECT_EQ(29, TraceRecorder::Count("ReSend block 5\n"));
  EXPECT_EQ(2048u, session_->bytesAcknowledged);
  EXPECT_TRUE(ServerSocketClosed());
}

// Datagrams that arrive as fast as they can be sent while the peer is silent.
struct FloodCase {
  const char* name;
  bool fromPeer;  // from the peer's own address and port, else from another port
  Packet datagram;
};

void PrintTo(const FloodCase& c, std::ostream* out) { *out << c.name; }

class FloodTest : public SessionTest, public ::testing::WithParamInterface<FloodCase> {};

TEST_P(FloodTest, ResendsStayAbout100MsApartAndTheTransferCompletesWhenThePeerResumes) {
  using Clock = std::chrono::steady_clock;
  const FloodCase& c = GetParam();
  Start(5000);  // ten blocks
  std::map<unsigned, Packet> blocks;
  Packet current = AcknowledgeThrough(1, &blocks);
  ASSERT_EQ(2u, BlockOf(current));
  blocks[2] = current;

  TftpClient stranger(client_->serverPort);
  const TftpClient& sender = c.fromPeer ? *client_ : stranger;
  std::atomic<bool> flooding{true};
  std::atomic<long> floodCount{0};
  std::thread flood([&] {
    while (flooding.load()) {
      sender.Send(c.datagram);
      floodCount.fetch_add(1);
    }
  });
  // The peer says nothing for 1.2 s (a timeout counted in loop passes would go
  // by in a fraction of a millisecond of such traffic) and notes when each resend arrives.
  Clock::time_point silentUntil = Clock::now() + std::chrono::milliseconds(1200);
  std::vector<Clock::time_point> arrivals;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(silentUntil - Clock::now()).count();
    Packet packet;
    if (left <= 0 || !client_->Receive(&packet, static_cast<int>(left))) break;
    arrivals.push_back(Clock::now());
    EXPECT_EQ(current, packet) << "resend " << arrivals.size();
  }
  flooding.store(false);
  flood.join();

  EXPECT_GT(floodCount.load(), 1000) << "the flood was too thin to show anything";
  ASSERT_GE(arrivals.size(), 3u) << "the block was not sent again while the peer was silent";
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(arrivals[i] - arrivals[i - 1]).count();
    EXPECT_GE(gap, 90) << "resends " << i << " and " << i + 1;
  }

  // The peer resumes; a resend of block 2 still on its way is acknowledged again, harmlessly.
  client_->SendAck(2);
  for (;;) {
    Packet packet = Next();
    if (Opcode(packet) != 3) break;
    blocks[BlockOf(packet)] = packet;
    client_->SendAck(BlockOf(packet));
    if (packet.size() < 4 + 512) break;
  }
  EXPECT_EQ(kUploaded, Finish());
  std::vector<unsigned char> received;
  for (const auto& block : blocks) received.insert(received.end(), block.second.begin() + 4, block.second.end());
  ASSERT_EQ(10u, blocks.size());
  EXPECT_TRUE(received == image_) << "the blocks do not add up to the image";
}

INSTANTIATE_TEST_SUITE_P(
    Floods, FloodTest,
    ::testing::Values(FloodCase{"StrangersAckOfTheAwaitedBlock", false, {0, 4, 0, 2}},
                      FloodCase{"StrangersJunk", false, Bytes("not tftp at all")},
                      FloodCase{"PeersErrorPackets", true, Bytes(std::string("\0\5\0\0busy\0", 9))},
                      FloodCase{"PeersRepeatedAck", true, {0, 4, 0, 1}}),
    [](const ::testing::TestParamInfo<FloodCase>& info) { return info.param.name; });

TEST_F(SessionTest, ProgressHeldBackIsShownWhileThePeerStalls) {
  OperatorReset();
  ModuleInstance = PortModuleHandle();
  CopyText(DeviceAddressText, "10.1.0.9");
  OperatorExpectDialog(kTransferDialog, {});
  Start(5000, true);  // ten blocks
  // Four blocks at the wire's pace, well within one refresh interval: only the
  // first acknowledgement is shown at once.
  Packet current = AcknowledgeThrough(4);
  ASSERT_EQ(5u, BlockOf(current));
  // The peer stalls. A refresh interval and a turn of the dialog later the count
  // it has acknowledged is on screen, not the one of the first ACK; it stays
  // unseen for good without the catching up, so the wait for it may be long
  // (the session gives up only after 3 s).
  const std::string acknowledged = "Uploading Firmware to ZEM@10.1.0.9 2048/5000 Bytes";
  std::vector<OperatorDialogRecord> records;
  for (int waited = 0; waited < 2000; waited += 10) {
    records = OperatorDialogsOf(kTransferDialog);
    if (records.size() == 1 && !records[0].captions.empty() && records[0].captions.back() == acknowledged) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(1u, records.size());
  ASSERT_FALSE(records[0].captions.empty());
  EXPECT_EQ("Uploading Firmware to ZEM@10.1.0.9 0/5000 Bytes", records[0].captions.front());
  EXPECT_EQ(acknowledged, records[0].captions.back());
  ASSERT_FALSE(records[0].progress.empty());
  EXPECT_EQ(5, records[0].progress.back());
  DownloadRest(current);
  EXPECT_EQ(kUploaded, Finish());
  records = OperatorDialogsOf(kTransferDialog);
  EXPECT_EQ("Uploading Firmware to ZEM@10.1.0.9 5000/5000 Bytes", records[0].captions.back());
  EXPECT_EQ(10, records[0].progress.back());  // 11 is set; the bar holds at most its top
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

}  // namespace
