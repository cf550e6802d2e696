// The transfer server from StartTftpListener to the end of the process, with a
// client and an adapter's web server on loopback and the scripted operator.
// Runs in a network namespace of its own (tests/netns-run): it binds UDP 69..71
// and TCP 80. Each case runs in a child process, which the server ends.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/report.h"
#include "common/sockaddr.h"
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
using tftptest::CaptionsOf;
using tftptest::kLoopback;
using tftptest::Opcode;
using tftptest::Packet;
using tftptest::ProgressOf;
using tftptest::ReadText;
using tftptest::TftpClient;

constexpr std::uint32_t kImageSize = 748972;
constexpr unsigned kFastClock = 64;
const char kAdapterLog[] = "flow_adapter.txt";

void AppendText(const char* path, const std::string& line) {
  std::ofstream out(path, std::ios::app);
  out << line << "\n";
}

SOCKET HoldUdpPort(std::uint16_t port) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address;
  FillSocketAddress(kLoopback, port, &address);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  return s;
}

std::atomic<bool> g_commandReturned{false};

// The adapter's web server after its restart: one status page per connection;
// each connection is logged with whether the upgrade command had returned.
void ServeStatusPage() {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address;
  FillSocketAddress(kLoopback, 80, &address);
  bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener, 4);
  std::thread([listener] {
    for (;;) {
      SOCKET c = accept(listener, nullptr, nullptr);
      if (c < 0) return;
      AppendText(kAdapterLog, g_commandReturned.load() ? "after the command" : "during the command");
      char request[2048];
      ::recv(c, request, sizeof request, 0);
      const char page[] =
          "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
          "<html><table><tr><td>Software Version:</td><td>9.9.9</td></tr></table></html>";
      send(c, page, static_cast<int>(sizeof page - 1), 0);
      close(c);
    }
  }).detach();
}

void PrepareUpgrade(std::uint32_t imageSize = kImageSize) {
  static std::vector<unsigned char> image;
  image.resize(imageSize);
  for (std::uint32_t i = 0; i < imageSize; ++i) image[i] = static_cast<unsigned char>(i * 13u + 5u);
  FirmwareImage.bytes = image.data();
  FirmwareImage.size = imageSize;
  OperatorReset();
  ModuleInstance = PortModuleHandle();
  CopyText(TftpFileName, "/zem1f.bin");
  CopyText(DeviceAddressText, "10.77.0.9");  // as typed; the read request comes from 127.0.0.1
}

// The adapter's TFTP client: a read request as it sends it, then every block.
bool Fetch(std::uint16_t port, std::uint32_t imageSize = kImageSize) {
  TftpClient client(port);
  client.Send(Bytes(std::string("\0\1/zem1f.bin\0octet\0tsize\0" "0\0timeout\0" "5\0", 37)));
  Packet packet;
  std::uint32_t bytes = 0;
  while (client.Receive(&packet, 5000)) {
    if (Opcode(packet) == 6) {
      client.SendAck(0);
      continue;
    }
    if (Opcode(packet) != 3) return false;
    bytes += static_cast<std::uint32_t>(packet.size() - 4);
    client.SendAck(BlockOf(packet));
    if (packet.size() < 516) return bytes == imageSize;
  }
  return false;
}

TEST(TftpFlowTest, UploadRebootWaitThenVerificationFromTheReadRequestsAddress) {
  const char* transcriptPath = "flow_success.jsonl";
  std::remove(transcriptPath);
  std::remove(kAdapterLog);
  EXPECT_EXIT(
      {
        PrepareUpgrade();
        OperatorExpectDialog(kWaitingDialog, {});
        OperatorExpectDialog(kTransferDialog, {});
        OperatorExpectDialog(kConnectingDialog, {});
        OperatorExpectDialog(kSuccessDialog, {WaitMs(100), PressButton(IDOK)});
        OperatorTranscriptAtExit(transcriptPath);
        HoldUdpPort(69);
        HoldUdpPort(70);
        ServeStatusPage();
        std::uint16_t port = StartTftpListener(kLoopback);
        if (port != 71) std::_Exit(10 + port);
        if (!Fetch(port)) std::_Exit(4);
        // The reboot wait runs fast; the upgrade command "returns" only well after it.
        PortSetClock(0, kFastClock);
        Sleep(2 * kRebootWaitTicks * kRebootTickMs);
        g_commandReturned.store(true);
        MarkUpgradeCommandReturned();
        for (;;) Sleep(10);
      },
      ::testing::ExitedWithCode(kExitUpgraded), "");
  std::string transcript = ReadText(transcriptPath);
  std::string adapter = ReadText(kAdapterLog);
  EXPECT_EQ("after the command\n", adapter) << "the verification must wait for the upgrade command";
  EXPECT_NE(std::string::npos, transcript.find("9.9.9")) << "the success dialog shows the new version";
  EXPECT_EQ(std::string::npos, transcript.find("\"type\":\"box\"")) << transcript;
  // The caption shows the first and the final acknowledgement exactly, and the
  // reboot wait's text after them.
  std::vector<std::string> captions = CaptionsOf(transcript, kTransferDialog);
  ASSERT_GE(captions.size(), 3u) << transcript;
  EXPECT_EQ("Uploading Firmware to ZEM@10.77.0.9 0/748972 Bytes", captions.front());
  EXPECT_EQ("Uploading Firmware to ZEM@10.77.0.9 748972/748972 Bytes", captions[captions.size() - 2]);
  EXPECT_EQ("Updating Firmware to ZEM@10.77.0.9", captions.back());
  // The upload's positions rise from 1 to the top of the bar (1464 is set; the
  // bar holds at most 1463); then the wait's from 0 to 1562.
  std::vector<int> progress = ProgressOf(transcript, kTransferDialog);
  auto waitStart = std::find(progress.begin(), progress.end(), 0);
  ASSERT_NE(progress.end(), waitStart) << "no reboot wait after the upload";
  std::vector<int> upload(progress.begin(), waitStart);
  ASSERT_FALSE(upload.empty());
  EXPECT_EQ(1, upload.front());
  EXPECT_EQ(1463, upload.back());
  for (std::size_t k = 1; k < upload.size(); ++k) EXPECT_LE(upload[k - 1], upload[k]) << "upload position " << k;
  EXPECT_GE(progress.back(), static_cast<int>(kRebootWaitTicks));
}

TEST(TftpFlowTest, CancelInTheMiddleOfALargeUpload) {
  const char* transcriptPath = "flow_cancel_upload.jsonl";
  std::remove(transcriptPath);
  // 58,594 blocks: seconds of upload to a client that answers at once, so no
  // wait of the session ever ends empty.
  constexpr std::uint32_t kLargeImage = 30000000;
  constexpr int kLargeBlocks = static_cast<int>(kLargeImage / 512 + 1);
  constexpr int kCancelAt = 2000;
  EXPECT_EXIT(
      {
        PrepareUpgrade(kLargeImage);
        OperatorExpectDialog(kWaitingDialog, {});
        OperatorExpectDialog(kTransferDialog, {WaitProgress(kProgressControl, kCancelAt), PressButton(IDCANCEL)});
        OperatorExpectMessageBox({}, "User Abort");
        OperatorTranscriptAtExit(transcriptPath);
        std::uint16_t port = StartTftpListener(kLoopback);
        // The upload running to its end means the Cancel was not taken in time.
        std::_Exit(Fetch(port, kLargeImage) ? 5 : 4);
      },
      ::testing::ExitedWithCode(kExitCancelled), "");
  std::string transcript = ReadText(transcriptPath);
  EXPECT_NE(std::string::npos, transcript.find("\"text\":\"Upgrade Failed: User Abort\"")) << transcript;
  EXPECT_NE(std::string::npos, transcript.find("\"status\":2")) << transcript;
  std::vector<int> progress = ProgressOf(transcript, kTransferDialog);
  ASSERT_FALSE(progress.empty()) << transcript;
  EXPECT_GE(progress.back(), kCancelAt);
  EXPECT_LT(progress.back(), kLargeBlocks) << "the upload had ended before the Cancel was taken";
  std::vector<std::string> captions = CaptionsOf(transcript, kTransferDialog);
  ASSERT_FALSE(captions.empty());
  EXPECT_EQ(0u, captions.back().find("Uploading Firmware to ZEM@10.77.0.9 ")) << captions.back();
}

TEST(TftpFlowTest, CancelWhileWaitingForTheReadRequest) {
  const char* transcriptPath = "flow_cancel.jsonl";
  std::remove(transcriptPath);
  EXPECT_EXIT(
      {
        PrepareUpgrade();
        OperatorExpectDialog(kWaitingDialog, {WaitProgress(kProgressControl, 50), PressButton(IDCANCEL)});
        OperatorExpectMessageBox({}, "User Abort");
        OperatorTranscriptAtExit(transcriptPath);
        StartTftpListener(kLoopback);
        for (;;) Sleep(10);
      },
      ::testing::ExitedWithCode(kExitCancelled), "");
  std::string transcript = ReadText(transcriptPath);
  EXPECT_NE(std::string::npos, transcript.find("\"text\":\"Upgrade Failed: User Abort\"")) << transcript;
  std::vector<int> pulse = ProgressOf(transcript, kWaitingDialog);
  ASSERT_GE(pulse.size(), 51u);
  for (int k = 0; k <= 50; ++k) EXPECT_EQ(k, pulse[k]) << "pulse " << k;
}

TEST(TftpFlowTest, CancelWhileAFloodHitsTheListeningPort) {
  const char* transcriptPath = "flow_cancel_flood.jsonl";
  std::remove(transcriptPath);
  constexpr int kQueued = 30000;  // datagrams waiting before the listener starts, some 100 ms of its work
  EXPECT_EXIT(
      {
        PrepareUpgrade();
        OperatorExpectDialog(kWaitingDialog, {WaitMs(200), PressButton(IDCANCEL)});
        OperatorExpectMessageBox({}, "User Abort");
        OperatorTranscriptAtExit(transcriptPath);
        // The record as StartTftpListener hands it to its thread, on a port
        // whose queue holds thousands of datagrams: filled before the listener
        // starts and kept full, so that no wait of the listener ends empty.
        TftpListener* listener = static_cast<TftpListener*>(std::calloc(1, sizeof(TftpListener)));
        listener->localAddress = kLoopback;
        listener->socket = tftptest::BoundLoopbackSocket(&listener->port);
        int queueBytes = 16 << 20;
        setsockopt(listener->socket, SOL_SOCKET, SO_RCVBUFFORCE, &queueBytes, sizeof queueBytes);
        TftpClient flood(listener->port);
        const Packet strayAck = Bytes(std::string("\0\4\0\0", 4));
        for (int i = 0; i < kQueued; ++i) flood.Send(strayAck);
        CreateThread(nullptr, 0, TftpListenerThread, listener, 0, nullptr);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < end) flood.Send(strayAck);
        // The flood outlived the Cancel by seconds: Cancel was dead while it lasted.
        std::_Exit(4);
      },
      ::testing::ExitedWithCode(kExitCancelled), "");
  std::string transcript = ReadText(transcriptPath);
  EXPECT_NE(std::string::npos, transcript.find("\"text\":\"Upgrade Failed: User Abort\"")) << transcript;
  EXPECT_NE(std::string::npos, transcript.find("\"status\":2")) << transcript;
  // The pulse moves only on an empty poll: still at its first position, the
  // flood left the listener no empty poll in which the old loop took Cancel.
  EXPECT_EQ(std::vector<int>{0}, ProgressOf(transcript, kWaitingDialog)) << transcript;
}

}  // namespace
