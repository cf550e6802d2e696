// The front door of the TFTP server: one UDP port in 69..168, one read request
// for the expected name, then the same thread becomes the upload session.
#include <cstdlib>
#include <cstring>

#include "common/report.h"
#include "common/sockaddr.h"
#include "common/socket_wait.h"
#include "common/trace.h"
#include "tftp/tftp.h"
#include "ui/ui.h"
#include "upgrade/upgrade.h"

namespace {

// Dialog 114 takes its messages at most every kListenerWaitMs, datagrams or
// not: after each empty wait when idle, as often while a flood goes on.
constexpr ProgressPace kWaitingPace{kListenerWaitMs, 0, false};

}  // namespace

bool BindTftpPort(SOCKET socket, std::uint32_t localAddress, std::uint16_t* port) {
  for (int attempt = 0; attempt < kTftpPortCount; ++attempt) {
    std::uint16_t candidate = static_cast<std::uint16_t>(kFirstTftpPort + attempt);
    sockaddr_in address;
    FillSocketAddress(localAddress, candidate, &address);
    if (bind(socket, reinterpret_cast<const sockaddr*>(&address), kSocketAddressLength) == 0) {
      *port = candidate;
      return true;
    }
  }
  return false;
}

std::uint16_t StartTftpListener(std::uint32_t localAddress) {
  TftpListener* listener = static_cast<TftpListener*>(std::calloc(1, sizeof(TftpListener)));
  if (listener == nullptr) FatalFailure("Upgrade Failed: Can't malloc for TFTP listener");
  listener->socket = socket(AF_INET, SOCK_DGRAM, 0);
  if (listener->socket == INVALID_SOCKET) FatalFailure("Upgrade Failed: Can't create TFTP listener socket");
  std::uint16_t port = 0;
  if (!BindTftpPort(listener->socket, localAddress, &port)) {
    FatalFailure("Upgrade Failed: Can't bind TFTP listener socket");
  }
  listener->localAddress = localAddress;
  listener->port = port;
  // Without its thread nobody would answer the adapter, and the upgrade command must not go out.
  if (CreateThread(nullptr, 0, TftpListenerThread, listener, 0, nullptr) == nullptr) {
    FatalFailure("Upgrade Failed: Can't start the TFTP listener thread");
  }
  return port;
}

ListenerVerdict ReceiveListenerDatagram(TftpListener* listener, std::uint32_t* peerAddress,
                                        std::uint16_t* peerPort, const char** fileName) {
  sockaddr_in sender;
  int senderLength = kSocketAddressLength;
  int received = recvfrom(listener->socket, reinterpret_cast<char*>(listener->receiveBuffer),
                          static_cast<int>(kTftpPacketSize), 0, reinterpret_cast<sockaddr*>(&sender),
                          &senderLength);
  if (received <= 0) return kListenerIdle;
  // The buffer is not cleared between datagrams: only the bytes of this one count.
  if (received < 2) return kListenerIgnored;
  const unsigned char* packet = listener->receiveBuffer;
  switch (GetUint16BE(packet)) {
    case kTftpOpReadRequest:
      break;
    case kTftpOpWriteRequest:
      Trace("TFTP Rx WRQ?\n");
      return kListenerIgnored;
    case kTftpOpData:
      Trace("TFTP Rx Data?\n");
      return kListenerIgnored;
    case kTftpOpAck:
      Trace("TFTP Rx ACK?\n");
      return kListenerIgnored;
    case kTftpOpError:
      Trace("TFTP Rx Error?\n");
      return kListenerIgnored;
    default:
      return kListenerIgnored;
  }
  const char* name = reinterpret_cast<const char*>(packet + 2);
  std::size_t room = static_cast<std::size_t>(received) - 2;
  if (std::memchr(name, '\0', room) == nullptr) {
    Trace("+++ Unterminated TFTP RRQ filename (%d bytes)\n", received);
    return kListenerIgnored;
  }
  UnpackSocketAddress(&sender, peerAddress, peerPort);
  if (std::strcmp(name, TftpFileName) != 0) {
    Trace("+++ Bad TFTP RRQ filename %s\n", name);
    return kListenerIgnored;
  }
  *fileName = name;
  return kListenerAccepted;
}

DWORD WINAPI TftpListenerThread(LPVOID parameter) {
  TftpListener* listener = static_cast<TftpListener*>(parameter);
  HWND window = OpenProgressDialog(ModuleInstance, kWaitingDialog, kWaitingPulseRange, nullptr);
  ProgressDialog dialog = KeepProgressDialog(window, kWaitingPace, timeGetTime());
  ShowProgress(&dialog, timeGetTime(), 0, nullptr, true);
  int pulse = 0;
  u_long nonBlocking = 1;
  ioctlsocket(listener->socket, FIONBIO, &nonBlocking);
  for (;;) {
    // The dialog's turn comes on the clock, busy or not: a flood of datagrams
    // to this port must not leave Cancel dead until it stops.
    TendProgressDialog(&dialog, timeGetTime());
    // An empty poll waits for the socket at most kListenerWaitMs, so that a read
    // request is taken the moment it arrives, and a wait that ends empty needs
    // no receive call.
    ListenerVerdict verdict = kListenerIdle;
    std::uint32_t peerAddress = 0;
    std::uint16_t peerPort = 0;
    const char* fileName = nullptr;
    if (WaitForDatagram(listener->socket, kListenerWaitMs)) {
      verdict = ReceiveListenerDatagram(listener, &peerAddress, &peerPort, &fileName);
    }
    if (verdict == kListenerAccepted) {
      DestroyWindow(window);
      StartTftpSession(listener->socket, listener->localAddress, listener->port, peerAddress, peerPort,
                       fileName);
    }
    // The pulse moves on empty polls only.
    if (verdict == kListenerIgnored) continue;
    if (++pulse == kWaitingPulseRange) pulse = 0;
    ShowProgress(&dialog, timeGetTime(), pulse, nullptr, true);
  }
}
