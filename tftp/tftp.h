// The firmware transfer server: listener, upload session, reboot wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/platform.h"

inline constexpr std::size_t kTftpPacketSize = 1024;

struct TftpListener {
  std::uint32_t localAddress;
  std::uint16_t port;
  SOCKET socket;
  unsigned char receiveBuffer[kTftpPacketSize];
};

struct TftpSession {
  char fileName[128];
  unsigned char packetBuffer[kTftpPacketSize];
  std::uint32_t localAddress;
  std::uint32_t peerAddress;
  std::uint16_t localPort;
  std::uint16_t peerPort;
  SOCKET socket;
  std::uint32_t blockCounter;
  std::uint32_t imageSize;
  std::uint32_t blockCount;
  std::uint32_t bytesAcknowledged;
  std::uint32_t lastBlockSize;
  std::uint32_t lastSentSize;
};

enum TransferOutcome : int { kUploaded = 0, kUploadFailed = 1 };

// Binds the UDP port (69 to 168), starts the listener thread, returns the port.
std::uint16_t StartTftpListener(std::uint32_t localAddress);
DWORD WINAPI TftpListenerThread(LPVOID listener);
INT_PTR CALLBACK TransferDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

[[noreturn]] void StartTftpSession(SOCKET socket, std::uint32_t localAddress, std::uint16_t localPort,
                                   std::uint32_t peerAddress, std::uint16_t peerPort,
                                   const char* fileName);
[[noreturn]] void RunTftpSession(TftpSession* session);
void SendTftpOptionAck(SOCKET socket, unsigned char* packet, const sockaddr_in* peer,
                       std::uint32_t imageSize);
void SendTftpData(SOCKET socket, unsigned char* packet, const unsigned char* source,
                  std::uint32_t length, std::uint32_t blockNumber, const sockaddr_in* peer);
void PutUint16BE(unsigned char* buffer, std::uint32_t value);
std::uint32_t GetUint16BE(const unsigned char* buffer);

[[noreturn]] void WaitForReboot(TftpSession* session, TransferOutcome outcome);
