// The upload session's handling of what arrives during a transfer, over real
// UDP on loopback: the real TransferImage serves an image to a peer socket,
// and stray datagrams come between the peer's acknowledgements.
//
// The whole of the peer's side is queued on the server's socket before the
// transfer starts: for each block k from 0 (the OACK) to the last, the strays
// meant to come before it, then the peer's ACK of k. The session takes them in
// that order, so the run is the same every time and never waits for a
// retransmission timer; the OACK and DATA packets it sends wait on the peer's
// socket and are read afterwards.
//
// Input: two bytes of image size (big-endian, modulo 2561: up to five full
// blocks and an empty sixth), one byte that varies the image's bytes, then up
// to 250 strays, each one byte choosing the block whose ACK it precedes
// (modulo the block count + 1), one byte choosing the source (the peer
// itself, the peer's address from another port, or 127.0.0.2), two bytes of
// length (big-endian, modulo 601) and as many bytes as the length says or as
// remain.
//
// Properties: the upload ends as uploaded with every byte acknowledged; the
// peer receives the OACK (tsize and timeout 5), then DATA blocks in lock-step,
// a block number repeating only as a retransmission (at most one per 100
// strays) and each block carrying exactly its bytes of the image, so that
// they rebuild the image byte for byte; no other packet reaches the peer and
// nothing reaches the other sockets.
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/text.h"
#include "common/trace.h"
#include "tests/fuzz/check.h"
#include "tests/tftp/tftp_fixture.h"
#include "tftp/tftp.h"
#include "upgrade/upgrade.h"

namespace {

using tftptest::BoundLoopbackSocket;
using tftptest::kLoopback;
using tftptest::Packet;

constexpr std::uint32_t kOtherLoopback = 0x7f000002u;  // 127.0.0.2
constexpr std::uint32_t kLargestImage = 5 * 512;
constexpr std::size_t kMostStrays = 250;  // fewer than the 3000 idle passes that end a transfer
constexpr std::size_t kLongestStray = 600;
constexpr int kQueueBytes = 8 << 20;  // room for every queued datagram

enum Source { kPeer = 0, kPeerOtherPort = 1, kOtherAddress = 2, kSourceCount = 3 };

struct Bench {
  SOCKET sockets[kSourceCount];
  std::uint16_t ports[kSourceCount];
};

void CheckTrace(const char* text, std::size_t length) {
  fuzz::Check(length < 1024 && strnlen(text, length) == length, "a trace text of %zu bytes", length);
}

void MakeRoomToQueue(SOCKET s) {
  int bytes = kQueueBytes;
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
}

Bench MakeBench() {
  Bench bench;
  const std::uint32_t addresses[kSourceCount] = {kLoopback, kLoopback, kOtherLoopback};
  for (int i = 0; i < kSourceCount; ++i) {
    bench.sockets[i] = BoundLoopbackSocket(&bench.ports[i], addresses[i]);
    fuzz::Check(bench.sockets[i] >= 0 && bench.ports[i] != 0, "no socket on %08x (run inside tests/netns-run)",
                addresses[i]);
    MakeRoomToQueue(bench.sockets[i]);
  }
  SetTraceSink(CheckTrace);
  CopyText(DeviceAddressText, "10.77.0.2");
  return bench;
}

Bench& TheBench() {
  static Bench bench = MakeBench();
  return bench;
}

std::vector<Packet> Drain(SOCKET s) {
  std::vector<Packet> packets;
  for (;;) {
    Packet packet(2048);
    ssize_t n = recv(s, packet.data(), packet.size(), MSG_DONTWAIT);
    if (n < 0) return packets;
    packet.resize(static_cast<std::size_t>(n));
    packets.push_back(packet);
  }
}

void Send(SOCKET from, std::uint16_t toPort, const unsigned char* bytes, std::size_t length) {
  sockaddr_in to;
  FillSocketAddress(kLoopback, toPort, &to);
  ssize_t sent = sendto(from, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  fuzz::Check(sent == static_cast<ssize_t>(length), "sendto of %zu bytes gave %zd", length, sent);
}

struct Stray {
  std::uint32_t slot;
  Source source;
  std::vector<unsigned char> bytes;
};

Packet OptionAck(std::uint32_t size) {
  std::string text = std::string("\0\6tsize\0", 8) + std::to_string(size) + std::string("\0timeout\0" "5\0", 11);
  return Packet(text.begin(), text.end());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  Bench& bench = TheBench();
  for (SOCKET s : bench.sockets) Drain(s);

  const std::uint32_t imageSize = static_cast<std::uint32_t>((data[0] << 8) | data[1]) % (kLargestImage + 1);
  std::vector<unsigned char> image(imageSize);
  for (std::uint32_t i = 0; i < imageSize; ++i) {
    image[i] = static_cast<unsigned char>(i * 7u + i / 512u + data[2]);
  }
  const std::uint32_t blockCount = imageSize / 512 + 1;

  std::vector<Stray> strays;
  for (std::size_t at = 3; strays.size() < kMostStrays && at + 4 <= size;) {
    Stray stray;
    stray.slot = data[at] % (blockCount + 1);
    stray.source = static_cast<Source>(data[at + 1] % kSourceCount);
    std::size_t length = static_cast<std::size_t>((data[at + 2] << 8) | data[at + 3]) % (kLongestStray + 1);
    at += 4;
    if (length > size - at) length = size - at;
    stray.bytes.assign(data + at, data + at + length);
    at += length;
    strays.push_back(stray);
  }

  std::uint16_t serverPort = 0;
  SOCKET server = BoundLoopbackSocket(&serverPort);
  fuzz::Check(server >= 0, "no server socket");
  MakeRoomToQueue(server);
  for (std::uint32_t block = 0; block <= blockCount; ++block) {
    for (const Stray& s : strays) {
      if (s.slot == block) Send(bench.sockets[s.source], serverPort, s.bytes.data(), s.bytes.size());
    }
    const unsigned char ack[4] = {0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block)};
    Send(bench.sockets[kPeer], serverPort, ack, sizeof ack);
  }

  FirmwareImage.bytes = image.data();
  FirmwareImage.size = imageSize;
  TftpSession* session = NewTftpSession(server, kLoopback, serverPort, kLoopback, bench.ports[kPeer], "/zem1f.bin");
  TransferOutcome outcome = TransferImage(session, nullptr);
  fuzz::Check(outcome == kUploaded, "the transfer failed");
  fuzz::Check(session->blockCounter == blockCount + 1 && session->bytesAcknowledged == imageSize,
              "block counter %u, %u bytes acknowledged of %u", session->blockCounter, session->bytesAcknowledged,
              imageSize);
  std::free(session);
  FirmwareImage.bytes = nullptr;

  std::vector<Packet> packets = Drain(bench.sockets[kPeer]);
  fuzz::Check(Drain(bench.sockets[kPeerOtherPort]).empty() && Drain(bench.sockets[kOtherAddress]).empty(),
              "a packet went to a stranger");
  const Packet oack = OptionAck(imageSize);
  fuzz::Check(!packets.empty() && packets[0] == oack, "the first packet is not the OACK of %u bytes", imageSize);
  fuzz::Check(packets.size() <= 1 + blockCount + strays.size() / 100, "%zu packets for %u blocks and %zu strays",
              packets.size(), blockCount, strays.size());

  std::vector<unsigned char> rebuilt;
  std::uint32_t last = 0;
  for (std::size_t i = 1; i < packets.size(); ++i) {
    const Packet& p = packets[i];
    if (p == oack) {
      fuzz::Check(last == 0, "the OACK again after block %u", last);
      continue;
    }
    fuzz::Check(p.size() >= 4 && p[0] == 0 && p[1] == 3, "packet %zu is neither OACK nor DATA", i);
    std::uint32_t block = p[2] * 256u + p[3];
    fuzz::Check(block == last || block == last + 1, "block %u after block %u", block, last);
    fuzz::Check(block >= 1 && block <= blockCount, "block %u of %u", block, blockCount);
    std::uint32_t offset = (block - 1) * 512;
    std::uint32_t length = block < blockCount ? 512 : imageSize % 512;
    bool carries = p.size() == 4 + length && (length == 0 || std::memcmp(&p[4], &image[offset], length) == 0);
    fuzz::Check(carries, "block %u does not carry its %u bytes of the image", block, length);
    if (block == last + 1) rebuilt.insert(rebuilt.end(), p.begin() + 4, p.end());
    last = block;
  }
  fuzz::Check(last == blockCount, "the peer got blocks up to %u of %u", last, blockCount);
  fuzz::Check(rebuilt == image, "the DATA blocks do not rebuild the image");
  return 0;
}
