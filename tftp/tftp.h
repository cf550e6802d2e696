// The firmware transfer server: listener, upload session, reboot wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/platform.h"

inline constexpr std::size_t kTftpPacketSize = 1024;
inline constexpr std::size_t kTftpSessionNameSize = 128;  // at most 127 characters

// ---- constants of the server -------------------------------------------------
inline constexpr std::uint16_t kFirstTftpPort = 69;
inline constexpr int kTftpPortCount = 100;  // ports 69 to 168
inline constexpr std::uint32_t kTftpBlockSize = 512;
// The retransmission timeout: the packet awaiting its acknowledgement goes out
// again after 100 ms on the clock without that acknowledgement, however many
// other datagrams (a stranger's, an ERROR, a repeated ACK) arrive meanwhile.
// 30 timeouts in a row end the transfer.
inline constexpr std::uint32_t kRetransmitMs = 100;
inline constexpr int kTimeoutsToFailure = 30;
// The transfer dialog takes its messages at least this often, busy or not, so
// that Cancel works at any moment and the window never looks hung.
inline constexpr std::uint32_t kTransferPumpMs = 20;
// Its bar and caption change at most this often: at the wire's pace they would
// cost more than the upload itself and help no operator. The first and the
// final acknowledgement are always shown.
inline constexpr std::uint32_t kProgressRefreshMs = 50;
// An empty poll of the listener waits at most 10 ms. The read request still
// ends the wait the moment it arrives; only the pulse of dialog 114 is slower
// (about 10 s a sweep; Sleep(1) at Windows' default 15.6-ms timer tick gives
// 15.6 s), and the waiting costs a tenth of the wake-ups of 1-ms polls,
// which alone took some 2.7 % of a core on the test machine (4-ms polls: 0.9 to 1 %).
inline constexpr DWORD kListenerWaitMs = 10;
inline constexpr int kWaitingPulseRange = 1000;  // dialog 114's bar runs 0..999, never 1000

inline constexpr std::uint16_t kTftpOpReadRequest = 1;
inline constexpr std::uint16_t kTftpOpWriteRequest = 2;
inline constexpr std::uint16_t kTftpOpData = 3;
inline constexpr std::uint16_t kTftpOpAck = 4;
inline constexpr std::uint16_t kTftpOpError = 5;
inline constexpr std::uint16_t kTftpOpOptionAck = 6;

inline constexpr unsigned kTickShift = 5;  // one tick is 32 ms
inline constexpr std::uint32_t kRebootWaitTicks = 1562;
inline constexpr std::uint32_t kTickWrap = 1u << 27;  // the tick wraps with the 32-bit millisecond clock
inline constexpr int kRebootTickMs = 32;

struct TftpListener {
  std::uint32_t localAddress;
  std::uint16_t port;
  SOCKET socket;
  unsigned char receiveBuffer[kTftpPacketSize];
};

struct TftpSession {
  char fileName[kTftpSessionNameSize];
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

[[noreturn]] void StartTftpSession(SOCKET socket, std::uint32_t localAddress, std::uint16_t localPort,
                                   std::uint32_t peerAddress, std::uint16_t peerPort,
                                   const char* fileName);
[[noreturn]] void RunTftpSession(TftpSession* session);
// Both return the length of the packet they sent.
int SendTftpOptionAck(SOCKET socket, unsigned char* packet, const sockaddr_in* peer,
                      std::uint32_t imageSize);
int SendTftpData(SOCKET socket, unsigned char* packet, const unsigned char* source,
                 std::uint32_t length, std::uint32_t blockNumber, const sockaddr_in* peer);
void PutUint16BE(unsigned char* buffer, std::uint32_t value);
std::uint32_t GetUint16BE(const unsigned char* buffer);

// Goes on in the transfer dialog that RunTftpSession created and left open.
[[noreturn]] void WaitForReboot(TftpSession* session, TransferOutcome outcome, HWND dialog);

// ---- the steps of the operations above, each usable on its own ------------------

// The port walk of the listener on one socket: 69, 70, ... 168. True and the port
// once a bind succeeds; false after the hundredth failure.
bool BindTftpPort(SOCKET socket, std::uint32_t localAddress, std::uint16_t* port);

// What one listener pass made of the datagram waiting on the socket.
enum ListenerVerdict : int {
  kListenerIdle = -1,     // nothing came (or an error): an empty poll
  kListenerIgnored = 0,   // a datagram that is not the expected read request
  kListenerAccepted = 1,  // the read request for TftpFileName; its sender is the peer
};
// Receives at most one datagram into the listener's buffer and judges it. On
// acceptance the sender and the name (inside the receive buffer) are handed back.
ListenerVerdict ReceiveListenerDatagram(TftpListener* listener, std::uint32_t* peerAddress,
                                        std::uint16_t* peerPort, const char** fileName);

// Steps 1 to 4 of StartTftpSession: the zero-filled record from the heap (fatal
// without one), filled for the FirmwareImage of this moment.
TftpSession* NewTftpSession(SOCKET socket, std::uint32_t localAddress, std::uint16_t localPort,
                            std::uint32_t peerAddress, std::uint16_t peerPort, const char* fileName);

// The transfer loop of RunTftpSession, from the OACK to the closed socket, in the
// given transfer dialog (which may be null).
TransferOutcome TransferImage(TftpSession* session, HWND dialog);

// The tick clock: timeGetTime() / 32, 27 bits.
inline std::uint32_t CurrentTick() { return timeGetTime() >> kTickShift; }

// The 1562-tick wait in dialog 110 (time bar, updating caption, Cancel live).
// Returns the corrected last tick read minus the start tick.
std::uint32_t RunRebootWait(HWND dialog);

// Keeps the dialog live until the main thread's upgrade command has returned, so
// that the verification never shares ResponseBuffer and AuthState with it.
void WaitForUpgradeCommand(HWND dialog);
