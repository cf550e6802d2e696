// A small TFTP client on loopback and a trace recorder, shared by the transfer
// server's tests.
#pragma once

#include <poll.h>

#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "common/platform.h"
#include "common/sockaddr.h"
#include "common/trace.h"

namespace tftptest {

inline constexpr std::uint32_t kLoopback = 0x7f000001u;

using Packet = std::vector<unsigned char>;

// A UDP socket bound to 127.0.0.1 (or another loopback address) on a port the system picks.
inline SOCKET BoundLoopbackSocket(std::uint16_t* port, std::uint32_t loopbackAddress = kLoopback) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address;
  FillSocketAddress(loopbackAddress, 0, &address);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  std::uint32_t ignored;
  UnpackSocketAddress(&address, &ignored, port);
  return s;
}

inline Packet Bytes(const std::string& text) { return Packet(text.begin(), text.end()); }

// The client side of one transfer: sends to the server's port, receives whatever comes.
struct TftpClient {
  SOCKET socket = -1;
  std::uint16_t port = 0;
  std::uint16_t serverPort = 0;

  explicit TftpClient(std::uint16_t server) : serverPort(server) { socket = BoundLoopbackSocket(&port); }
  ~TftpClient() { close(socket); }

  void Send(const Packet& packet) const {
    sockaddr_in to;
    FillSocketAddress(kLoopback, serverPort, &to);
    sendto(socket, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  void SendAck(unsigned block) const {
    Send({0, 4, static_cast<unsigned char>(block >> 8), static_cast<unsigned char>(block & 0xff)});
  }
  // The next datagram within the time limit; false when none came.
  bool Receive(Packet* packet, int timeoutMs) const {
    pollfd entry{socket, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return false;
    packet->resize(2048);
    ssize_t n = recv(socket, packet->data(), packet->size(), 0);
    if (n < 0) return false;
    packet->resize(static_cast<std::size_t>(n));
    return true;
  }
  // Everything already waiting.
  std::vector<Packet> Drain() const {
    std::vector<Packet> packets;
    Packet packet;
    while (Receive(&packet, 0)) packets.push_back(packet);
    return packets;
  }
};

inline unsigned Opcode(const Packet& p) { return p.size() >= 2 ? p[0] * 256u + p[1] : 0u; }
inline unsigned BlockOf(const Packet& p) { return p.size() >= 4 ? p[2] * 256u + p[3] : 0u; }

// Every trace point while installed.
class TraceRecorder {
 public:
  TraceRecorder() { SetTraceSink(&Sink); Lines().clear(); }
  ~TraceRecorder() { SetTraceSink(nullptr); }
  static std::vector<std::string> Take() {
    std::lock_guard<std::mutex> lock(Guard());
    return Lines();
  }
  static int Count(const std::string& text) {
    int n = 0;
    for (const std::string& line : Take()) n += line == text ? 1 : 0;
    return n;
  }

 private:
  static std::mutex& Guard() { static std::mutex m; return m; }
  static std::vector<std::string>& Lines() { static std::vector<std::string> v; return v; }
  static void Sink(const char* text, std::size_t length) {
    std::lock_guard<std::mutex> lock(Guard());
    Lines().emplace_back(text, length);
  }
};

// The whole of a file, such as the transcript a child process left.
inline std::string ReadText(const char* path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text inside the brackets of "key":[...] in the record of the first dialog
// with this template id in a transcript; empty when there is none.
inline std::string ListOf(const std::string& transcript, int id, const std::string& key) {
  std::size_t at = transcript.find("\"id\":" + std::to_string(id) + ",");
  if (at == std::string::npos) return std::string();
  at = transcript.find("\"" + key + "\":[", at);
  if (at == std::string::npos) return std::string();
  at += key.size() + 4;
  return transcript.substr(at, transcript.find(']', at) - at);
}

// The progress positions of that dialog.
inline std::vector<int> ProgressOf(const std::string& transcript, int id) {
  std::vector<int> positions;
  std::stringstream list(ListOf(transcript, id, "positions"));
  std::string item;
  while (std::getline(list, item, ',')) positions.push_back(std::stoi(item));
  return positions;
}

// Its caption changes, in order (captions without quotes, brackets or escapes).
inline std::vector<std::string> CaptionsOf(const std::string& transcript, int id) {
  std::vector<std::string> captions;
  std::string list = ListOf(transcript, id, "captions");
  for (std::size_t at = list.find('"'); at != std::string::npos;) {
    std::size_t end = list.find('"', at + 1);
    if (end == std::string::npos) break;
    captions.push_back(list.substr(at + 1, end - at - 1));
    at = list.find('"', end + 1);
  }
  return captions;
}

}  // namespace tftptest
