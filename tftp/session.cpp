// The upload: OACK (tsize, timeout 5), then 512-byte DATA blocks in lock-step
// from the listener's own socket, each resent after 100 ms without its ACK, 30 times.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/report.h"
#include "common/sockaddr.h"
#include "common/socket_wait.h"
#include "common/text.h"
#include "common/trace.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"

namespace {

// The options the OACK always carries, whatever the read request asked for.
constexpr char kTsizeOption[] = "tsize";
constexpr char kTimeoutOption[] = "timeout";
constexpr char kTimeoutSeconds[] = "5";

int SendPacket(SOCKET socket, const unsigned char* packet, int length, const sockaddr_in* peer) {
  // A lost packet is covered by the retransmission; the result is not examined.
  sendto(socket, reinterpret_cast<const char*>(packet), length, 0, reinterpret_cast<const sockaddr*>(peer),
         kSocketAddressLength);
  return length;
}

// Appends the text and its zero byte.
std::size_t PutOption(unsigned char* packet, std::size_t at, const char* text) {
  std::size_t length = std::strlen(text) + 1;
  std::memcpy(packet + at, text, length);
  return at + length;
}

int ReceiveNow(SOCKET socket, unsigned char* packet, sockaddr_in* source) {
  int sourceLength = kSocketAddressLength;
  return recvfrom(socket, reinterpret_cast<char*>(packet), static_cast<int>(kTftpPacketSize), 0,
                  reinterpret_cast<sockaddr*>(source), &sourceLength);
}

// One datagram into the packet buffer, waiting for it at most the given time;
// above zero its length. The receive comes before the wait: a datagram already
// there costs no wait, and under Wine a wait costs more than a receive.
int ReceiveDatagram(SOCKET socket, unsigned char* packet, sockaddr_in* source, std::uint32_t waitMs) {
  int received = ReceiveNow(socket, packet, source);
  if (received > 0 || !WaitForDatagram(socket, waitMs)) return received;
  return ReceiveNow(socket, packet, source);
}

// Dialog 110 during the upload: its messages every kTransferPumpMs, busy or
// not, so that Cancel works at any moment; bar and caption at a human rate.
constexpr ProgressPace kTransferPace{kTransferPumpMs, kProgressRefreshMs, false};

// The bar at the block counter, the caption at the bytes acknowledged: at once
// for the first and the final acknowledgement, else at the pace's rate.
void ShowTransferProgress(ProgressDialog* dialog, const TftpSession* session, std::uint32_t now, bool complete) {
  char caption[kProgressCaptionSize];
  std::snprintf(caption, sizeof caption, "Uploading Firmware to ZEM@%s %d/%d Bytes", DeviceAddressText,
                static_cast<int>(session->bytesAcknowledged), static_cast<int>(session->imageSize));
  ShowProgress(dialog, now, static_cast<int>(session->blockCounter), caption, complete);
}

}  // namespace

void PutUint16BE(unsigned char* buffer, std::uint32_t value) {
  buffer[0] = static_cast<unsigned char>((value >> 8) & 0xffu);
  buffer[1] = static_cast<unsigned char>(value & 0xffu);
}

std::uint32_t GetUint16BE(const unsigned char* buffer) {
  return static_cast<std::uint32_t>(buffer[0]) * 256u + buffer[1];
}

int SendTftpOptionAck(SOCKET socket, unsigned char* packet, const sockaddr_in* peer, std::uint32_t imageSize) {
  char digits[12];
  std::snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(imageSize));
  PutUint16BE(packet, kTftpOpOptionAck);
  std::size_t at = 2;
  at = PutOption(packet, at, kTsizeOption);
  at = PutOption(packet, at, digits);
  at = PutOption(packet, at, kTimeoutOption);
  at = PutOption(packet, at, kTimeoutSeconds);
  return SendPacket(socket, packet, static_cast<int>(at), peer);
}

int SendTftpData(SOCKET socket, unsigned char* packet, const unsigned char* source, std::uint32_t length,
                 std::uint32_t blockNumber, const sockaddr_in* peer) {
  if (length > kTftpBlockSize) length = kTftpBlockSize;
  PutUint16BE(packet, kTftpOpData);
  PutUint16BE(packet + 2, blockNumber);
  if (length != 0) std::memcpy(packet + 4, source, length);
  return SendPacket(socket, packet, static_cast<int>(4 + length), peer);
}

TftpSession* NewTftpSession(SOCKET socket, std::uint32_t localAddress, std::uint16_t localPort,
                            std::uint32_t peerAddress, std::uint16_t peerPort, const char* fileName) {
  TftpSession* session = static_cast<TftpSession*>(std::calloc(1, sizeof(TftpSession)));
  if (session == nullptr) FatalFailure("Upgrade Failed: Can't malloc for TFTP session");
  session->socket = socket;
  session->localAddress = localAddress;
  session->localPort = localPort;
  session->peerAddress = peerAddress;
  session->peerPort = peerPort;
  CopyText(session->fileName, fileName);
  session->blockCounter = 0;
  session->bytesAcknowledged = 0;
  // Smaller than kImageSizeLimit: start-up refused any other image
  // (UseFirmwareImage), so the block counter never passes 65535 on the wire.
  session->imageSize = FirmwareImage.size;
  session->blockCount = session->imageSize / kTftpBlockSize + 1;
  session->lastBlockSize = session->imageSize % kTftpBlockSize;
  Trace("++++size %d, %d, %d\n", static_cast<int>(session->imageSize), static_cast<int>(session->lastBlockSize),
        static_cast<int>(session->blockCount));
  return session;
}

void StartTftpSession(SOCKET socket, std::uint32_t localAddress, std::uint16_t localPort, std::uint32_t peerAddress,
                      std::uint16_t peerPort, const char* fileName) {
  RunTftpSession(NewTftpSession(socket, localAddress, localPort, peerAddress, peerPort, fileName));
}

TransferOutcome TransferImage(TftpSession* session, HWND window) {
  u_long nonBlocking = 1;
  ioctlsocket(session->socket, FIONBIO, &nonBlocking);
  sockaddr_in peer;
  FillSocketAddress(session->peerAddress, session->peerPort, &peer);
  unsigned char* packet = session->packetBuffer;
  SendTftpOptionAck(session->socket, packet, &peer, session->imageSize);

  int timeouts = 0;
  std::uint32_t sourceOffset = 0;
  std::uint32_t sentAt = timeGetTime();  // when the packet awaiting its ACK last left
  ProgressDialog dialog = KeepProgressDialog(window, kTransferPace, sentAt);
  for (;;) {
    // Every span below is an unsigned difference of two readings, right across
    // the wrap of the 32-bit millisecond clock (every 49.7 days).
    std::uint32_t now = timeGetTime();
    TendProgressDialog(&dialog, now);
    std::uint32_t waited = now - sentAt;
    if (waited >= kRetransmitMs) {
      if (++timeouts == kTimeoutsToFailure) {
        Trace("Timeout for ack; upgrade failed\n");
        closesocket(session->socket);
        return kUploadFailed;
      }
      // The packet buffer also receives, so the packet is built afresh.
      if (session->blockCounter == 0) {
        Trace("ReSend option ack\n");
        SendTftpOptionAck(session->socket, packet, &peer, session->imageSize);
      } else {
        Trace("ReSend block %d\n", static_cast<int>(session->blockCounter));
        SendTftpData(session->socket, packet, FirmwareImage.bytes + sourceOffset, session->lastSentSize,
                     session->blockCounter, &peer);
      }
      sentAt = timeGetTime();
      continue;
    }

    // Whatever arrives ends the wait at once; only the expected ACK moves the
    // transfer on, and nothing else touches the time already waited.
    std::uint32_t waitMs = std::min(kRetransmitMs - waited, UntilNextTurn(dialog, now));
    sockaddr_in source;
    int received = ReceiveDatagram(session->socket, packet, &source, waitMs);
    if (received <= 0) continue;
    std::uint32_t sourceAddress = 0;
    std::uint16_t sourcePort = 0;
    UnpackSocketAddress(&source, &sourceAddress, &sourcePort);
    if (sourceAddress != session->peerAddress || sourcePort != session->peerPort) {
      Trace("Unknown source request in session: %x:%u", static_cast<unsigned>(sourceAddress),
            static_cast<unsigned>(sourcePort));
      continue;
    }
    // Only the bytes of this datagram count: an ACK shorter than four bytes is
    // not one. An ERROR or any other opcode from the peer is passed over: the
    // packet goes out again when its time is up.
    if (received < 4 || GetUint16BE(packet) != kTftpOpAck) continue;
    // A repeated or stray ACK: answering it would double every later packet
    // (the sorcerer's apprentice), so nothing is sent.
    if (GetUint16BE(packet + 2) != session->blockCounter) continue;

    timeouts = 0;
    ++session->blockCounter;
    session->bytesAcknowledged += session->lastSentSize;
    bool complete = session->blockCounter > session->blockCount;
    ShowTransferProgress(&dialog, session, timeGetTime(), complete);
    if (complete) {
      Trace("All blocks ack'd\n");
      closesocket(session->socket);
      return kUploaded;
    }
    session->lastSentSize = session->blockCounter == session->blockCount ? session->lastBlockSize : kTftpBlockSize;
    sourceOffset = session->blockCounter == 1 ? 0 : sourceOffset + kTftpBlockSize;
    SendTftpData(session->socket, packet, FirmwareImage.bytes + sourceOffset, session->lastSentSize,
                 session->blockCounter, &peer);
    Trace("Send block %d (%d)\n", static_cast<int>(session->blockCounter), static_cast<int>(session->lastSentSize));
    sentAt = timeGetTime();
  }
}

void RunTftpSession(TftpSession* session) {
  // The caption stays the template's until the first accepted acknowledgement.
  HWND dialog = OpenProgressDialog(ModuleInstance, kTransferDialog, static_cast<int>(session->blockCount), nullptr);
  // A Windows timer tick is 15.6 ms unless raised; the lock-step loop must not
  // lose one on every block.
  timeBeginPeriod(1);
  TransferOutcome outcome = TransferImage(session, dialog);
  timeEndPeriod(1);
  WaitForReboot(session, outcome, dialog);
}
