// The adapter's TFTP client: it fetches the image named by the upgrade command
// from the PC's server in lock step (read request, OACK, then DATA and ACK one
// block at a time) and checks that the server keeps to the rules. Its own
// faults are a wrong name first, no read request, and a client that stops;
// the faults of the packets on the way are in tftp_faults.cpp.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "sim.h"

TftpRecord Tftp;

namespace {

const uint32_t kMaxBlocks = 65535;

// The lock step's own state.
double g_at = 0;  // the start (Scheduled), the end of the WrongName wait, the end of the Dally
double g_nextRetransmit = 0;
double g_lastProgress = 0;
int g_retriesLeft = 0;
std::vector<unsigned char> g_lastSent;  // the read request or the last ACK
bool g_lastSentIsAck = false;
uint32_t g_expectedBlock = 0;
std::set<std::string> g_unknownSources;

double AckTimeout() { return Sim.options.ackTimeoutMs / 1000.0; }
// How long a client that stopped acknowledging, or one that has the last block, stays.
double Patience() { return AckTimeout() * (Sim.options.ackRetries + 1); }

void SendRrq(const std::string& name) {
  g_lastSent = BuildRrq(name);
  g_lastSentIsAck = false;
  SendRaw(Tftp.fd, g_lastSent);
  ++Tftp.n.rrqSent;
  Log("RRQ %s to %s", name.c_str(), Endpoint(Tftp.server, Tftp.serverPort).c_str());
}

// Waiting for the server again: the retransmissions start over.
void Progress(double now) {
  g_lastProgress = now;
  g_retriesLeft = Sim.options.ackRetries;
  g_nextRetransmit = now + AckTimeout();
}

void StartTransfer() {
  const Options& o = Sim.options;
  Tftp.tried = true;
  Tftp.fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = SockAddr(o.address, o.tftpPort);
  if (Tftp.fd < 0 || bind(Tftp.fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || !SetNonBlocking(Tftp.fd)) {
    ProtocolError(std::string("cannot open the TFTP client socket: ") + std::strerror(errno));
    if (Tftp.fd >= 0) close(Tftp.fd);
    Tftp.fd = -1;
    EndTransfer("failed: no socket");
    return;
  }
  if (o.stray > 0) OpenStrayPort();
  double now = Now();
  Progress(now);
  if (o.noRrq) {
    Tftp.tried = false;
    Tftp.state = TftpRecord::Done;
    Tftp.outcome = "no-rrq";
    Log("not sending a read request (--no-rrq)");
    return;
  }
  if (o.wrongNameFirst) {
    std::string wrong = Tftp.file;
    bool changed = false;
    for (char& ch : wrong) {
      if (ch >= 'a' && ch <= 'z') {
        ch = char(ch - 'a' + 'A');
        changed = true;
      }
    }
    if (!changed) wrong += "x";
    SendRrq(wrong);
    Tftp.state = TftpRecord::WrongName;
    g_at = now + AckTimeout();
    return;
  }
  SendRrq(Tftp.file);
  Tftp.state = TftpRecord::AwaitOack;
}

void SendAck(uint16_t block, bool retransmit) {
  std::vector<unsigned char> p = BuildAck(block);
  g_lastSent = p;
  g_lastSentIsAck = true;
  if (retransmit) ++Tftp.n.ackRetransmits;
  SendAckWithFaults(p, block);
}

void HandleOack(const std::vector<unsigned char>& p, double now) {
  if (Tftp.state == TftpRecord::AwaitOack) {
    std::string why;
    uint64_t tsize = 0;
    if (!ParseOack(p.data(), p.size(), &tsize, &why)) {
      Tftp.oackProblem = why;
      ProtocolError("bad OACK: " + why);
      SendRaw(Tftp.fd, BuildError(8, "bad option acknowledgement"));
      ++Tftp.n.errorsSent;
      EndTransfer("failed: bad OACK");
      return;
    }
    Tftp.haveOack = true;
    Tftp.tsize = tsize;
    if (tsize / 512 + 1 > kMaxBlocks) ProtocolError("tsize " + std::to_string(tsize) + " needs more than 65535 blocks");
    Log("OACK tsize %llu", (unsigned long long)tsize);
    Tftp.state = TftpRecord::AwaitData;
    g_expectedBlock = 1;
    Tftp.lastAcked = 0;
    Progress(now);
    SendAck(0, false);
  } else if (Tftp.state == TftpRecord::AwaitData && g_expectedBlock == 1) {
    ++Tftp.n.duplicateOack;
    SendAck(0, false);
  } else {
    ++Tftp.n.duplicateOack;  // a late copy; nothing to answer
  }
}

// The block the client waits for, in AwaitData: taken and acknowledged,
// unless a fault answers it otherwise.
void TakeBlock(const std::vector<unsigned char>& p, uint16_t block, size_t len, double now) {
  uint32_t stopAt = Sim.options.stopAt;
  if (stopAt != 0 && block >= stopAt) {
    Log("DATA %u: no longer acknowledging (fault)", block);
    Tftp.state = TftpRecord::Stopped;
    return;
  }
  if (AnswerFromStrayPort(block) || AnswerWithError(block)) return;
  Tftp.image.insert(Tftp.image.end(), p.begin() + 4, p.end());
  if (Tftp.haveOack && Tftp.image.size() > Tftp.tsize)
    ProtocolError("more data than tsize (" + std::to_string(Tftp.image.size()) + " bytes)");
  Tftp.lastAcked = block;
  ++g_expectedBlock;
  Progress(now);
  if (len < 512) {
    Tftp.complete = true;
    if (Tftp.image.size() != Tftp.tsize)
      ProtocolError("received " + std::to_string(Tftp.image.size()) + " bytes, tsize was " +
                    std::to_string(Tftp.tsize));
    // Stay a while to acknowledge a repeated final block. The restart
    // begins before the final ACK leaves, so that no status read can slip
    // in between.
    Tftp.state = TftpRecord::Dally;
    g_at = now + Patience();
    EndTransfer("complete");
  }
  SendAck(block, false);
}

void HandleData(const std::vector<unsigned char>& p, double now) {
  if (p.size() < 4) {
    ProtocolError("DATA packet of " + std::to_string(p.size()) + " bytes");
    return;
  }
  uint16_t block = uint16_t(p[2] << 8 | p[3]);
  size_t len = p.size() - 4;
  ++Tftp.n.dataReceived;
  if (Tftp.state == TftpRecord::AwaitOack) {
    ProtocolError("DATA block " + std::to_string(block) + " before an OACK");
    return;
  }
  if (len > 512) {
    ProtocolError("DATA block " + std::to_string(block) + " carries " + std::to_string(len) + " bytes");
    return;
  }
  bool repeat = Tftp.lastAcked > 0 && block == Tftp.lastAcked;
  // Blocks never wrap, so a lower number is an old copy, one that was
  // sent again or came late.
  bool old = block < g_expectedBlock;
  if (Tftp.state == TftpRecord::Stopped) {
    if (old || block == Sim.options.stopAt) ++Tftp.n.duplicateData;
    return;
  }
  if (Tftp.state == TftpRecord::Dally) {
    if (old) {
      ++Tftp.n.duplicateData;
      if (repeat) SendAck(block, true);
    } else {
      ProtocolError("DATA block " + std::to_string(block) + " after the final block");
    }
    return;
  }
  // AwaitData
  if (g_expectedBlock <= kMaxBlocks && block == g_expectedBlock) {
    TakeBlock(p, block, len, now);
  } else if (old) {
    ++Tftp.n.duplicateData;
    if (repeat) SendAck(block, true);
  } else {
    ProtocolError("DATA block " + std::to_string(block) + ", expected " + std::to_string(g_expectedBlock));
  }
}

}  // namespace

void SendRaw(int fd, const std::vector<unsigned char>& p) {
  sockaddr_in sa = SockAddr(Tftp.server, Tftp.serverPort);
  if (sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) >= 0) ++Tftp.n.packetsSent;
}

void HandleDatagram(const std::vector<unsigned char>& p) {
  if (Tftp.fd < 0 || p.size() < 2) {
    if (!p.empty()) ProtocolError("datagram of " + std::to_string(p.size()) + " bytes");
    return;
  }
  uint16_t op = uint16_t(p[0] << 8 | p[1]);
  double now = Now();
  if (op == kOack) {
    HandleOack(p, now);
    return;
  }
  if (op == kData) {
    HandleData(p, now);
    return;
  }
  if (op == kError) {
    std::string msg;
    uint16_t code = p.size() >= 4 ? uint16_t(p[2] << 8 | p[3]) : 0;
    if (p.size() > 4) {
      const char* s = reinterpret_cast<const char*>(p.data() + 4);
      msg.assign(s, strnlen(s, p.size() - 4));
    }
    Tftp.errorsReceived.push_back(std::to_string(code) + " " + msg);
    ProtocolError("ERROR packet from the server: " + std::to_string(code) + " " + msg);
    if (Tftp.state == TftpRecord::AwaitOack || Tftp.state == TftpRecord::AwaitData)
      EndTransfer("failed: server sent ERROR");
    return;
  }
  if (Tftp.state != TftpRecord::Stopped && Tftp.state != TftpRecord::Dally)
    ProtocolError("unexpected opcode " + std::to_string(op));
}

void EndTransfer(const std::string& outcome) {
  if (Tftp.ended) return;
  Tftp.ended = true;
  Tftp.outcome = outcome;
  Log("transfer ended: %s (%zu bytes)", outcome.c_str(), Tftp.image.size());
  if (Tftp.state != TftpRecord::Dally) {
    Tftp.state = TftpRecord::Done;
    if (Tftp.fd >= 0) close(Tftp.fd);
    Tftp.fd = -1;
  }
  if (Tftp.strayFd >= 0) close(Tftp.strayFd);
  Tftp.strayFd = -1;
  RestartAfterTransfer();
}

void RequestTransfer(const std::string& path, uint32_t server, uint16_t port, const std::string& file) {
  Tftp.upgradeRequested = true;
  Tftp.upgradePath = path;
  Tftp.server = server;
  Tftp.serverPort = port;
  Tftp.file = file;
  Log("upgrade from %s file %s", Endpoint(server, port).c_str(), file.c_str());
}

void ScheduleTransfer() {
  if (Tftp.state != TftpRecord::Idle) return;
  Tftp.state = TftpRecord::Scheduled;
  g_at = Now() + Sim.options.rrqDelayMs / 1000.0;
}

void ProtocolError(const std::string& e) {
  Log("protocol error: %s", e.c_str());
  if (Tftp.protocolErrors.size() < 50) Tftp.protocolErrors.push_back(e);
}

void OnDatagram() {
  while (true) {
    unsigned char buf[2048];
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(Tftp.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) return;
    uint32_t from = ntohl(sa.sin_addr.s_addr);
    uint16_t fromPort = ntohs(sa.sin_port);
    ++Tftp.n.packetsReceived;
    if (from != Tftp.server || fromPort != Tftp.serverPort) {
      ++Tftp.n.unknownSource;
      std::string src = Endpoint(from, fromPort);
      if (g_unknownSources.insert(src).second)
        ProtocolError("datagram from " + src + ", not from the server " + Endpoint(Tftp.server, Tftp.serverPort));
      continue;
    }
    std::vector<unsigned char> p(buf, buf + n);
    if (Tftp.state == TftpRecord::WrongName) {
      Tftp.wrongNameAnswered = true;
      ProtocolError("the server answered the read request for a wrong name");
      continue;
    }
    if (Tftp.state != TftpRecord::AwaitOack && Tftp.state != TftpRecord::AwaitData && Tftp.state != TftpRecord::Dally &&
        Tftp.state != TftpRecord::Stopped) {
      continue;
    }
    DeliverWithFaults(p);
  }
}

void TransferTimers(double now) {
  DuePackets(now);
  switch (Tftp.state) {
    case TftpRecord::Scheduled:
      if (now >= g_at) StartTransfer();
      break;
    case TftpRecord::WrongName:
      if (now >= g_at) {
        SendRrq(Tftp.file);
        Tftp.state = TftpRecord::AwaitOack;
        Progress(now);
      }
      break;
    case TftpRecord::AwaitOack:
    case TftpRecord::AwaitData:
      if (now >= g_nextRetransmit) {
        if (g_retriesLeft > 0) {
          --g_retriesLeft;
          g_nextRetransmit = now + AckTimeout();
          if (g_lastSentIsAck) {
            SendAck(uint16_t(g_lastSent[2] << 8 | g_lastSent[3]), true);
          } else {
            SendRaw(Tftp.fd, g_lastSent);
            ++Tftp.n.rrqSent;
          }
        } else {
          EndTransfer(Tftp.state == TftpRecord::AwaitOack
                          ? "failed: no answer to the read request"
                          : "failed: no DATA after block " + std::to_string(Tftp.lastAcked));
        }
      }
      break;
    case TftpRecord::Stopped:
      if (now >= g_lastProgress + Patience())
        EndTransfer("failed: stopped acknowledging at block " + std::to_string(Sim.options.stopAt));
      break;
    case TftpRecord::Dally:
      if (now >= g_at) {
        Tftp.state = TftpRecord::Done;
        if (Tftp.fd >= 0) close(Tftp.fd);
        Tftp.fd = -1;
      }
      break;
    default: break;
  }
}

void ConsiderTransferDeadlines(double* next) {
  ConsiderFaultDeadlines(next);
  switch (Tftp.state) {
    case TftpRecord::Scheduled:
    case TftpRecord::WrongName:
    case TftpRecord::Dally: *next = std::min(*next, g_at); break;
    case TftpRecord::AwaitOack:
    case TftpRecord::AwaitData: *next = std::min(*next, g_nextRetransmit); break;
    case TftpRecord::Stopped: *next = std::min(*next, g_lastProgress + Patience()); break;
    default: break;
  }
}
