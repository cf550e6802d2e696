// The faults of the TFTP client, as the options ask for them: ACKs and DATA
// lost, repeated, late or reordered (each a percentage, drawn from the seeded
// generator), an ACK from a stray port, an ERROR instead of an ACK.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "sim.h"

namespace {

// A packet whose time comes later: an ACK to send, or a received datagram to
// handle (an empty one releases the reordered datagram if nothing else came).
struct Timed {
  double at;
  std::vector<unsigned char> bytes;
  bool outgoing;
};

std::vector<Timed> g_timed;
bool g_reorderPending = false;  // an older ACK goes out after the next one
std::vector<unsigned char> g_reorderAck;
bool g_heldIncoming = false;  // a datagram handled after the next one
std::vector<unsigned char> g_heldPacket;
bool g_errorSent = false;
int g_strayLeft = 0;
uint32_t g_strayBlock = 0;

bool Chance(double pct) {
  if (pct <= 0) return false;
  std::uniform_real_distribution<double> d(0.0, 100.0);
  return d(Sim.random) < pct;
}

double Delay() { return Sim.options.delayMs / 1000.0; }

}  // namespace

void SendAckWithFaults(const std::vector<unsigned char>& p, uint16_t block) {
  const Options& o = Sim.options;
  if (Chance(o.dropAck)) {
    ++Tftp.n.acksDropped;
    Log("ACK %u dropped (fault)", block);
    return;
  }
  if (Chance(o.delayAck)) {
    ++Tftp.n.acksDelayed;
    g_timed.push_back({Now() + Delay(), p, true});
    Log("ACK %u delayed (fault)", block);
  } else {
    SendRaw(Tftp.fd, p);
    ++Tftp.n.acksSent;
    Log("ACK %u", block);
  }
  if (Chance(o.dupAck)) {
    ++Tftp.n.acksDuplicated;
    SendRaw(Tftp.fd, p);
    ++Tftp.n.acksSent;
  }
  if (g_reorderPending) {
    // An older ACK arriving after a newer one.
    g_reorderPending = false;
    SendRaw(Tftp.fd, g_reorderAck);
    ++Tftp.n.acksSent;
  }
  if (Chance(o.reorderAck)) {
    ++Tftp.n.acksReordered;
    g_reorderPending = true;
    g_reorderAck = p;
  }
}

void DeliverWithFaults(const std::vector<unsigned char>& p) {
  const Options& o = Sim.options;
  if (Chance(o.dropData)) {
    ++Tftp.n.dataDropped;
    Log("received datagram dropped (fault)");
    return;
  }
  if (Chance(o.delayData)) {
    ++Tftp.n.dataDelayed;
    g_timed.push_back({Now() + Delay(), p, false});
    return;
  }
  if (!g_heldIncoming && Chance(o.reorderData)) {
    ++Tftp.n.dataReordered;
    g_heldIncoming = true;
    g_heldPacket = p;
    g_timed.push_back({Now() + Delay(), {}, false});  // release if nothing else comes
    return;
  }
  bool dup = Chance(o.dupData);
  HandleDatagram(p);
  if (dup) {
    ++Tftp.n.dataDuplicated;
    HandleDatagram(p);
  }
  if (g_heldIncoming) {
    g_heldIncoming = false;
    HandleDatagram(g_heldPacket);
  }
}

void DuePackets(double now) {
  std::vector<Timed> due;
  for (size_t i = 0; i < g_timed.size();) {
    if (g_timed[i].at <= now) {
      due.push_back(g_timed[i]);
      g_timed.erase(g_timed.begin() + long(i));
    } else {
      ++i;
    }
  }
  for (const Timed& t : due) {
    if (Tftp.fd < 0) continue;
    if (t.outgoing) {
      SendRaw(Tftp.fd, t.bytes);
      ++Tftp.n.acksSent;
    } else if (t.bytes.empty()) {
      if (g_heldIncoming) {
        g_heldIncoming = false;
        HandleDatagram(g_heldPacket);
      }
    } else {
      HandleDatagram(t.bytes);
    }
  }
}

void ConsiderFaultDeadlines(double* next) {
  for (const Timed& t : g_timed) *next = std::min(*next, t.at);
}

void OpenStrayPort() {
  Tftp.strayFd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in s2 = SockAddr(Sim.options.address, 0);
  if (Tftp.strayFd >= 0 && bind(Tftp.strayFd, reinterpret_cast<sockaddr*>(&s2), sizeof s2) == 0) {
    SetNonBlocking(Tftp.strayFd);
    g_strayLeft = Sim.options.stray;
  }
}

bool AnswerFromStrayPort(uint16_t block) {
  if (g_strayLeft <= 0 || Tftp.strayFd < 0 || g_strayBlock == block) return false;
  // The ACK of this block from a port the server has never seen, and no real
  // ACK until the server sends the block again: a server that took the stray
  // one runs ahead.
  g_strayBlock = block;
  --g_strayLeft;
  SendRaw(Tftp.strayFd, BuildAck(block));
  ++Tftp.n.straySent;
  Log("DATA %u answered from the stray port (fault)", block);
  return true;
}

void OnStrayDatagram() {
  unsigned char buf[2048];
  while (recv(Tftp.strayFd, buf, sizeof buf, 0) > 0) ProtocolError("the server answered the stray port");
}

bool AnswerWithError(uint16_t block) {
  const Options& o = Sim.options;
  if (o.errorAt == 0 || block != o.errorAt || g_errorSent) return false;
  g_errorSent = true;
  SendRaw(Tftp.fd, BuildError(0, "simulated error"));
  ++Tftp.n.errorsSent;
  Log("DATA %u answered with ERROR (fault)", block);
  if (o.errorFatal) EndTransfer("failed: sent an ERROR packet");
  return true;
}
