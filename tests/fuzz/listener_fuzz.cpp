// The listener's handling of what arrives on its port, over real UDP on
// loopback: each datagram is sent from one of three sockets (two ports of
// 127.0.0.1, one of 127.0.0.2) to the listener's socket, and the listener's
// own pass takes it: WaitForDatagram, then ReceiveListenerDatagram.
//
// Input: two bytes naming TftpFileName ("/zem%x.bin" of their value modulo
// 32768), then up to sixteen datagrams, each one byte choosing the sender, two
// bytes of length (big-endian, modulo 1101, so that datagrams longer than the
// 1024-byte buffer come too) and as many bytes as the length says or as remain.
//
// Properties: every datagram is judged as the rules say, from its own bytes
// only (the receive buffer is never cleared): a read request whose name ends
// within the datagram and equals TftpFileName is accepted with its sender's
// address and port and the name inside the receive buffer; everything else
// is ignored, and an empty datagram is an empty poll. Trace texts are formed
// from terminated names only.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/platform.h"
#include "common/socket_wait.h"
#include "common/trace.h"
#include "tests/fuzz/check.h"
#include "tests/tftp/tftp_fixture.h"
#include "tftp/tftp.h"
#include "upgrade/upgrade.h"

namespace {

using tftptest::BoundLoopbackSocket;
using tftptest::kLoopback;

constexpr std::uint32_t kOtherLoopback = 0x7f000002u;  // 127.0.0.2
constexpr std::size_t kMostDatagrams = 16;
constexpr std::size_t kLongestDatagram = 1100;
constexpr int kSenderCount = 3;

struct Sender {
  SOCKET socket;
  std::uint32_t address;
  std::uint16_t port;
};

struct Bench {
  TftpListener* listener;
  Sender senders[kSenderCount];
};

void CheckTrace(const char* text, std::size_t length) {
  fuzz::Check(length < 1024 && strnlen(text, length) == length, "a trace text of %zu bytes", length);
}

Bench MakeBench() {
  Bench bench;
  // The listener record as StartTftpListener leaves it for its thread.
  bench.listener = static_cast<TftpListener*>(std::calloc(1, sizeof(TftpListener)));
  bench.listener->localAddress = kLoopback;
  bench.listener->socket = BoundLoopbackSocket(&bench.listener->port);
  u_long nonBlocking = 1;
  ioctlsocket(bench.listener->socket, FIONBIO, &nonBlocking);
  const std::uint32_t addresses[kSenderCount] = {kLoopback, kLoopback, kOtherLoopback};
  for (int i = 0; i < kSenderCount; ++i) {
    Sender& s = bench.senders[i];
    s.address = addresses[i];
    s.socket = BoundLoopbackSocket(&s.port, s.address);
    fuzz::Check(s.socket >= 0 && s.port != 0, "no sender socket on %08x (run inside tests/netns-run)", s.address);
  }
  SetTraceSink(CheckTrace);
  return bench;
}

Bench& TheBench() {
  static Bench bench = MakeBench();
  return bench;
}

// What the listener should make of these bytes (already cut to its buffer).
ListenerVerdict Judge(const unsigned char* bytes, std::size_t length) {
  if (length == 0) return kListenerIdle;
  if (length < 2 || bytes[0] != 0 || bytes[1] != 1) return kListenerIgnored;
  const unsigned char* name = bytes + 2;
  const void* end = std::memchr(name, 0, length - 2);
  if (end == nullptr) return kListenerIgnored;
  std::string text(reinterpret_cast<const char*>(name), static_cast<const unsigned char*>(end) - name);
  return text == TftpFileName ? kListenerAccepted : kListenerIgnored;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  Bench& bench = TheBench();
  TftpListener* listener = bench.listener;
  std::snprintf(TftpFileName, sizeof TftpFileName, "/zem%x.bin", ((data[0] << 8) | data[1]) % 32768u);

  std::size_t at = 2;
  for (std::size_t count = 0; count < kMostDatagrams && at + 3 <= size; ++count) {
    const Sender& sender = bench.senders[data[at] % kSenderCount];
    std::size_t length = static_cast<std::size_t>((data[at + 1] << 8) | data[at + 2]) % (kLongestDatagram + 1);
    at += 3;
    if (length > size - at) length = size - at;
    const unsigned char* bytes = data + at;
    at += length;

    sockaddr_in to;
    FillSocketAddress(kLoopback, listener->port, &to);
    ssize_t sent = sendto(sender.socket, bytes, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    fuzz::Check(sent == static_cast<ssize_t>(length), "sendto of %zu bytes gave %zd", length, sent);
    fuzz::Check(WaitForDatagram(listener->socket, 1000), "the datagram did not arrive");

    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    const char* fileName = nullptr;
    ListenerVerdict verdict = ReceiveListenerDatagram(listener, &peerAddress, &peerPort, &fileName);
    std::size_t kept = length < kTftpPacketSize ? length : kTftpPacketSize;
    ListenerVerdict expected = Judge(bytes, kept);
    fuzz::Check(verdict == expected, "datagram %zu of %zu bytes: verdict %d, expected %d", count, length, verdict,
                expected);
    if (verdict == kListenerAccepted) {
      fuzz::Check(peerAddress == sender.address && peerPort == sender.port,
                  "accepted from %08x:%u, sent from %08x:%u", peerAddress, peerPort, sender.address, sender.port);
      fuzz::Check(fileName == reinterpret_cast<const char*>(listener->receiveBuffer + 2) &&
                      std::strcmp(fileName, TftpFileName) == 0,
                  "the accepted name is not the request's");
    }
  }
  return 0;
}
