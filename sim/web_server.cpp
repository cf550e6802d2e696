// The adapter's web server: one request per connection, answered and closed;
// the status page, the upgrade command, and the digest check of every request
// to a protected page.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "sim.h"

WebRecord Web;

namespace {

const size_t kMaxHead = 16384;
const size_t kBigPage = 200000;

// The digest check's state: what the challenge offers, the current nonce, the
// requests made under each nonce, and every nonce ever issued.
DigestConfig g_digest;
std::string g_nonce;
std::map<std::string, uint32_t> g_ncSeen;
std::set<std::string> g_issued;
bool g_staleOnceDone = false;

std::string Challenge(bool stale) { return ChallengeLine(g_digest, g_nonce, stale); }

std::string StatusPage(unsigned target) {
  const Options& o = Sim.options;
  bool after = (target == kTargetVerify);
  const std::string& version = after ? Restart.versionServed : o.versionBefore;
  std::string body = "<html><head><title>ZEM Advanced Status</title></head>\r\n<body>\r\n<h1>Advanced Status</h1>\r\n";
  if (o.noLabels & target) {
    body += "<p>Status information is not available.</p>\r\n";
  } else {
    body += "<table>\r\n";
    const std::pair<const char*, const std::string*> rows[] = {
        {"Product Name:", &o.productName},         {"MAC Address:", &o.mac},      {"Software Version:", &version},
        {"Hardware Version:", &o.hardwareVersion}, {"Serial Number:", &o.serial},
    };
    for (const auto& r : rows) body += std::string("<tr><td>") + r.first + "</td><td>" + *r.second + "</td></tr>\r\n";
    body += "</table>\r\n";
  }
  if (o.bigPage & target) {
    const std::string tail = "</body></html>\r\n";
    body += "<!--";
    size_t fill = kBigPage > body.size() + tail.size() + 3 ? kBigPage - body.size() - tail.size() - 3 : 0;
    for (size_t i = 0; i < fill; ++i) body.push_back(i % 64 == 63 ? '\n' : 'x');
    body += "-->" + tail;
  } else {
    body += "</body></html>\r\n";
  }
  return body;
}

void Respond(Conn& c, RequestRecord& r, int status, const std::string& extraHead, const std::string& body,
             unsigned target) {
  const Options& o = Sim.options;
  const char* reason = status == 200   ? "OK"
                       : status == 401 ? "Unauthorized"
                       : status == 404 ? "Not Found"
                       : status == 400 ? "Bad Request"
                                       : "Service Unavailable";
  bool http10 = status == 200 && (o.http10 & target);
  char line[128];
  std::snprintf(line, sizeof line, "%s %d %s\r\n", http10 ? "HTTP/1.0" : "HTTP/1.1", status, reason);
  std::string head = line;
  head += "Server: zem-sim\r\n";
  if (!extraHead.empty()) head += extraHead + "\r\n";
  head += "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  r.status = status;
  c.out = head + body;
  c.sent = 0;
  c.writeAt = Now() + o.answerDelayMs / 1000.0;
  r.bytesPlanned = c.out.size();
  c.neverClose = (o.neverClose & target) != 0;
  if (o.closeWithoutAnswer & target) {
    r.status = 0;
    if (target == kTargetVerify) c.isVerify = true;
    c.out.clear();
    FinishConn(c, "closed-without-answer");
    return;
  }
  c.state = Conn::Writing;
}

// A request that never got as far as its head: recorded all the same.
RequestRecord& NoteUnread(Conn& c, double now, const char* verdict, const std::string& detail) {
  RequestRecord r;
  r.t = now - Sim.start;
  r.phase = PhaseName(Sim.phase);
  r.peer = c.peer;
  r.verdict = verdict;
  r.detail = detail;
  Web.requests.push_back(r);
  c.record = int(Web.requests.size() - 1);
  return Web.requests.back();
}

void OnWritable(Conn& c) {
  if (Now() < c.writeAt) return;
  while (c.sent < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      FinishConn(c, "peer-closed-early");
      return;
    }
    c.sent += size_t(n);
  }
  if (c.record >= 0) Web.requests[size_t(c.record)].bytesSent = c.sent;
  // The answer is out: the fetch may begin.
  if (c.startsTransfer) ScheduleTransfer();
  c.startsTransfer = false;
  if (c.neverClose) {
    c.state = Conn::Open;
    if (c.record >= 0) Web.requests[size_t(c.record)].answer = "never-closed";
    Log("answer to %s sent; keeping the connection open", c.peer.c_str());
    return;
  }
  // Close our side and wait for the peer's close, so that nothing still
  // on its way to us turns our close into a reset.
  shutdown(c.fd, SHUT_WR);
  c.state = Conn::Draining;
  c.deadline = Now() + 2.0;
}

// The digest check of a request to a protected page. True when it may be
// served; otherwise the 401 has been sent.
bool Authorized(Conn& c, RequestRecord& rec, const RequestHead& h, unsigned target) {
  const Options& o = Sim.options;
  if (!h.hasAuthorization) {
    rec.verdict = "challenge";
    rec.nonce = g_nonce;
    Respond(c, rec, 401, Challenge(false), "<html><body>401 Unauthorized</body></html>\r\n", target);
    return false;
  }
  uint32_t expectedNc = g_ncSeen[g_nonce] + 1;
  AuthCheck chk = CheckAuthorization(g_digest, h.authorization, g_nonce, h.path, expectedNc);
  if (chk.nonceCurrent) g_ncSeen[g_nonce] = expectedNc;
  bool stale = false;
  if (chk.verdict == AuthVerdict::Accepted && o.noncePolicy == NoncePolicy::StaleOnce && !g_staleOnceDone) {
    g_staleOnceDone = true;
    NewNonce();
    rec.verdict = "stale-once";
    rec.detail = "first authorised request: new nonce";
    stale = true;
  } else if (chk.verdict != AuthVerdict::Accepted) {
    rec.verdict = AuthVerdictName(chk.verdict);
    rec.detail = chk.detail;
    if (chk.verdict == AuthVerdict::StaleNonce) {
      stale = true;
      if (!g_issued.count(chk.nonce)) rec.detail += " (never issued)";
    }
  }
  if (!rec.verdict.empty()) {
    rec.nonce = g_nonce;
    Respond(c, rec, 401, Challenge(stale), "<html><body>401 Unauthorized</body></html>\r\n", target);
    return false;
  }
  rec.verdict = "accepted";
  if (o.noncePolicy == NoncePolicy::Every) NewNonce();
  return true;
}

// The upgrade command, authorised: the fetch begins once the answer is out,
// or at once with --hold-upgrade-answer (the answer follows the transfer).
void UpgradeCommand(Conn& c, RequestRecord& rec, const RequestHead& h, unsigned target) {
  uint32_t addr = 0;
  uint16_t port = 0;
  std::string file, why;
  if (!ParseUpgradeTarget(h.path, &addr, &port, &file, &why)) {
    rec.detail = why;
    rec.verdict += ", bad-upgrade-target";
    Respond(c, rec, 400, "", "<html><body>Bad upgrade target</body></html>\r\n", target);
    return;
  }
  if (Tftp.upgradeRequested || Sim.phase != Phase::Before) {
    rec.detail = "an upgrade was already requested; ignored";
    Respond(c, rec, 200, "", "<html><body>Upgrade already in progress</body></html>\r\n", target);
    return;
  }
  RequestTransfer(h.path, addr, port, file);
  const std::string page = "<html><body>Firmware upgrade started.</body></html>\r\n";
  if (Sim.options.holdUpgradeAnswer && !(Sim.options.closeWithoutAnswer & target)) {
    Respond(c, rec, 200, "", page, target);
    c.state = Conn::Held;
    c.wasHeld = true;
    rec.answer = "held";
    ScheduleTransfer();
    return;
  }
  c.startsTransfer = true;
  Respond(c, rec, 200, "", page, target);
}

void HandleRequest(Conn& c) {
  size_t end = c.in.find("\r\n\r\n");
  std::string headText = c.in.substr(0, end + 4);
  RequestRecord r;
  r.t = Now() - Sim.start;
  r.phase = PhaseName(Sim.phase);
  r.peer = c.peer;
  RequestHead h;
  bool ok = ParseRequestHead(headText, &h);
  if (c.in.size() > end + 4) {
    if (h.formatProblem.empty()) h.formatProblem = "bytes after the empty line";
  }
  r.path = h.path;
  r.host = h.host;
  r.hasAuthorization = h.hasAuthorization;
  r.authorization = h.authorization;
  r.formatProblem = h.formatProblem;
  Web.requests.push_back(r);
  c.record = int(Web.requests.size() - 1);
  RequestRecord& rec = Web.requests.back();
  Log("request %s from %s%s%s", h.path.c_str(), c.peer.c_str(), h.hasAuthorization ? " with Authorization" : "",
      h.formatProblem.empty() ? "" : (" [" + h.formatProblem + "]").c_str());

  if (!ok) {
    rec.verdict = "bad-request-line";
    Respond(c, rec, 400, "", "<html><body>Bad Request</body></html>\r\n", 0);
    return;
  }

  unsigned target = 0;
  bool isStatus = h.path == "/admin/advanced";
  bool isUpgrade = h.path.compare(0, 15, "/admin/upgrade?") == 0;
  if (isStatus) target = Sim.phase == Phase::After ? unsigned(kTargetVerify) : unsigned(kTargetStatus);
  if (isUpgrade) target = kTargetUpgrade;
  if (!isStatus && !isUpgrade) {
    rec.verdict = "not-found";
    Respond(c, rec, 404, "", "<html><body>Not Found</body></html>\r\n", 0);
    return;
  }

  if (Sim.options.auth) {
    if (!Authorized(c, rec, h, target)) return;
  } else {
    rec.verdict = "open";
  }

  if (isStatus) {
    if (target == kTargetVerify) c.isVerify = true;
    Respond(c, rec, 200, "", StatusPage(target), target);
    return;
  }
  UpgradeCommand(c, rec, h, target);
}

void OnReadable(Conn& c) {
  char buf[4096];
  ssize_t n = recv(c.fd, buf, sizeof buf, 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (c.state == Conn::Reading) {
    if (n <= 0) {
      NoteUnread(c, Now(), "incomplete-request", "peer closed after " + std::to_string(c.in.size()) + " bytes");
      FinishConn(c, "peer-closed");
      return;
    }
    c.in.append(buf, size_t(n));
    if (c.in.find("\r\n\r\n") != std::string::npos) {
      HandleRequest(c);
    } else if (c.in.size() > kMaxHead) {
      RequestRecord& r = NoteUnread(c, Now(), "head-too-long", "");
      Respond(c, r, 400, "", "<html><body>Bad Request</body></html>\r\n", 0);
    }
    return;
  }
  // Writing, Held, Draining, Open: only the peer's end matters.
  if (n <= 0) {
    if (c.state == Conn::Writing || c.state == Conn::Held)
      FinishConn(c, "peer-closed-early");
    else
      FinishConn(c, c.state == Conn::Open ? "never-closed" : "closed");
  }
}

}  // namespace

void SetUpDigest() {
  const Options& o = Sim.options;
  g_digest.user = o.user;
  g_digest.password = o.password;
  g_digest.realm = o.realm;
  g_digest.qop = o.qop;
  g_digest.algorithm = o.algorithm;
  g_digest.opaque = o.opaque;
  g_digest.strictFormat = !o.lenientAuthFormat;
  if (!o.nonce.empty()) {
    g_nonce = o.nonce;
    g_issued.insert(g_nonce);
  } else {
    NewNonce();
  }
}

void NewNonce() {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%016llx%016llx", (unsigned long long)Sim.random(), (unsigned long long)Sim.random());
  g_nonce = buf;
  g_issued.insert(g_nonce);
  Log("new nonce %s", g_nonce.c_str());
}

bool OpenListener() {
  const Options& o = Sim.options;
  Web.listenFd = socket(AF_INET, SOCK_STREAM, 0);
  if (Web.listenFd < 0) return false;
  int one = 1;
  setsockopt(Web.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = SockAddr(o.address, o.port);
  if (bind(Web.listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(Web.listenFd, 16) != 0 ||
      !SetNonBlocking(Web.listenFd)) {
    std::fprintf(stderr, "zem-sim: cannot listen on %s: %s\n", Endpoint(o.address, o.port).c_str(),
                 std::strerror(errno));
    close(Web.listenFd);
    Web.listenFd = -1;
    return false;
  }
  return true;
}

void CloseListener() {
  if (Web.listenFd < 0) return;
  close(Web.listenFd);
  Web.listenFd = -1;
}

void Accept() {
  while (true) {
    sockaddr_in sa;
    socklen_t len = sizeof sa;
    int fd = accept(Web.listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
    if (fd < 0) return;
    std::string peer = Endpoint(ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port));
    if (Sim.phase == Phase::Restarting) {
      ++Restart.silentConnections;
      Log("restarting: closing connection from %s unanswered", peer.c_str());
      close(fd);
      continue;
    }
    SetNonBlocking(fd);
    Conn c;
    c.fd = fd;
    c.peer = peer;
    c.deadline = Now() + Sim.options.httpTimeoutMs / 1000.0;
    Web.conns.push_back(c);
    Log("connection from %s", peer.c_str());
  }
}

void FinishConn(Conn& c, const std::string& how) {
  if (c.record >= 0) {
    RequestRecord& r = Web.requests[size_t(c.record)];
    bool whole = !c.out.empty() && c.sent == c.out.size();
    if (c.state == Conn::Open)
      r.answer = "never-closed";
    else if (whole)
      r.answer = c.wasHeld ? "sent-after-transfer" : "answered";
    else
      r.answer = how;
    r.bytesSent = c.sent;
  }
  if (c.fd >= 0) close(c.fd);
  c.fd = -1;
  c.dead = true;
  Log("connection from %s ends: %s", c.peer.c_str(), how.c_str());
  if (c.startsTransfer) ScheduleTransfer();
  if (c.isVerify && !Restart.verifyServed) {
    Restart.verifyServed = true;
    if (Sim.options.exitAfterVerify) {
      Sim.done = true;
      Sim.endReason = "verified";
    }
  }
}

void FinishAllConnections(const std::string& how) {
  for (Conn& c : Web.conns)
    if (!c.dead) FinishConn(c, how);
}

void CloseConnectionsAtEnd() {
  for (Conn& c : Web.conns)
    if (!c.dead) FinishConn(c, c.state == Conn::Open ? "never-closed" : "closed-at-end");
}

void DropDeadConnections() {
  Web.conns.erase(std::remove_if(Web.conns.begin(), Web.conns.end(), [](const Conn& c) { return c.dead; }),
                  Web.conns.end());
}

bool ReleaseHeldAnswers() {
  bool held = false;
  for (Conn& c : Web.conns) {
    if (!c.dead && c.state == Conn::Held) {
      c.state = Conn::Writing;
      held = true;
    }
  }
  return held;
}

bool AnswersPending() {
  for (const Conn& c : Web.conns)
    if (!c.dead && (c.state == Conn::Writing || c.state == Conn::Held)) return true;
  return false;
}

void ConnectionTimers(double now) {
  for (Conn& c : Web.conns) {
    if (c.dead) continue;
    if (c.state == Conn::Reading && now >= c.deadline) {
      NoteUnread(c, now, "request-timeout", std::to_string(c.in.size()) + " bytes of the head arrived");
      FinishConn(c, "timeout");
    } else if (c.state == Conn::Draining && now >= c.deadline) {
      FinishConn(c, "closed");
    }
  }
}

void ConsiderConnectionDeadlines(double* next) {
  for (const Conn& c : Web.conns) {
    if (c.state == Conn::Reading || c.state == Conn::Draining)
      *next = std::min(*next, c.deadline);
    else if (c.state == Conn::Writing && c.sent == 0)
      *next = std::min(*next, c.writeAt);
  }
}

void AddConnections(std::vector<pollfd>* fds, double now) {
  for (const Conn& c : Web.conns) {
    short ev = POLLIN;
    if (c.state == Conn::Writing && c.writeAt <= now) ev = POLLIN | POLLOUT;
    fds->push_back({c.fd, ev, 0});
  }
}

void SendDueAnswers(double now) {
  for (Conn& c : Web.conns)
    if (!c.dead && c.state == Conn::Writing && c.sent == 0 && c.writeAt > now && Now() >= c.writeAt) OnWritable(c);
}

void HandleConnections(const std::vector<pollfd>& fds, size_t first) {
  // The connection list may grow in Accept; only the polled ones are looked at.
  for (size_t i = 0; i + first < fds.size() && i < Web.conns.size(); ++i) {
    Conn& c = Web.conns[i];
    short re = fds[first + i].revents;
    if (c.dead || re == 0) continue;
    if (c.state == Conn::Writing && (re & POLLOUT)) OnWritable(c);
    if (!c.dead && (re & (POLLIN | POLLHUP | POLLERR))) {
      if (c.state == Conn::Writing && !(re & POLLIN)) {
        if (re & POLLERR) FinishConn(c, "peer-closed-early");
        continue;
      }
      OnReadable(c);
    }
    if (!c.dead && c.state == Conn::Writing && !c.out.empty() && c.sent == 0) OnWritable(c);
  }
}
