// A lock-step TFTP client for the benchmark: one read request with the options
// tsize and timeout (as the adapter sends them), 512-byte blocks, each
// acknowledged to the port it came from. Prints the seconds from the read
// request to the last acknowledgement, and checks the bytes against the file.
//   tftp_fetch SERVER-IP PORT NAME LOCAL-FILE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

double Now() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::vector<unsigned char> ReadFile(const char* path) {
  std::vector<unsigned char> bytes;
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return bytes;
  unsigned char chunk[65536];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
  std::fclose(f);
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: tftp_fetch SERVER-IP PORT NAME LOCAL-FILE\n");
    return 2;
  }
  std::vector<unsigned char> expected = ReadFile(argv[4]);
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[2])));
  inet_pton(AF_INET, argv[1], &server.sin_addr);

  unsigned char request[600];
  std::size_t length = 0;
  request[length++] = 0;
  request[length++] = 1;
  const char* parts[] = {argv[3], "octet", "tsize", "0", "timeout", "5"};
  for (const char* part : parts) {
    std::size_t n = std::strlen(part) + 1;
    if (length + n > sizeof request) return 2;
    std::memcpy(request + length, part, n);
    length += n;
  }

  std::vector<unsigned char> received;
  received.reserve(expected.size());
  unsigned char packet[2048];
  unsigned char ack[4] = {0, 4, 0, 0};
  sockaddr_in peer = server;
  bool haveTid = false;
  unsigned expectedBlock = 1;  // 16-bit on the wire
  int retries = 0;
  double start = Now();
  sendto(s, request, length, 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
  const unsigned char* last = request;
  std::size_t lastLength = length;
  sockaddr_in lastTo = server;
  for (;;) {
    pollfd entry{s, POLLIN, 0};
    if (poll(&entry, 1, 1000) <= 0) {
      if (++retries > 10) {
        std::fprintf(stderr, "tftp_fetch: no answer\n");
        return 1;
      }
      sendto(s, last, lastLength, 0, reinterpret_cast<sockaddr*>(&lastTo), sizeof lastTo);
      continue;
    }
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 4) continue;
    if (haveTid && (from.sin_port != peer.sin_port || from.sin_addr.s_addr != peer.sin_addr.s_addr)) continue;
    if (!haveTid) {
      peer = from;
      haveTid = true;
    }
    unsigned opcode = packet[0] * 256u + packet[1];
    if (opcode == 5) {
      std::fprintf(stderr, "tftp_fetch: error %u %s\n", packet[2] * 256u + packet[3],
                   reinterpret_cast<char*>(packet + 4));
      return 1;
    }
    bool done = false;
    if (opcode == 6) {
      ack[2] = ack[3] = 0;
    } else if (opcode == 3) {
      unsigned block = packet[2] * 256u + packet[3];
      if (block == (expectedBlock & 0xffffu)) {
        received.insert(received.end(), packet + 4, packet + n);
        ++expectedBlock;
        done = n < 4 + 512;
      }
      ack[2] = packet[2];
      ack[3] = packet[3];
    } else {
      continue;
    }
    retries = 0;
    sendto(s, ack, sizeof ack, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    last = ack;
    lastLength = sizeof ack;
    lastTo = peer;
    if (done) break;
  }
  double seconds = Now() - start;
  if (received != expected) {
    std::fprintf(stderr, "tftp_fetch: received %zu bytes that differ from %s (%zu bytes)\n", received.size(),
                 argv[4], expected.size());
    return 1;
  }
  std::printf("%.4f %zu\n", seconds, received.size());
  return 0;
}
