// zem-sim: a simulated ZEM telephone adapter.
//
// One thread, one poll loop: the web server (one request per connection,
// answer, close), the TFTP client that fetches the image named by the
// upgrade command, the restart, and the timers of all of them.  Everything
// the adapter saw and did goes into the JSON report written at the end.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "options.hpp"
#include "simcore.hpp"

namespace zemsim {
namespace {

int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

void OnSignal(int sig) {
    g_signal = sig;
    unsigned char b = 1;
    ssize_t r = write(g_signalPipe[1], &b, 1);
    (void)r;
}

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool SetNonBlocking(int fd) {
    int fl = fcntl(fd, F_GETFL, 0);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

sockaddr_in SockAddr(uint32_t addr, uint16_t port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    return sa;
}

std::string Endpoint(uint32_t addr, uint16_t port) { return DottedQuad(addr) + ":" + std::to_string(port); }

const size_t kMaxHead = 16384;
const size_t kBigPage = 200000;
const uint32_t kMaxBlocks = 65535;

enum class Phase { Before, Restarting, After };
const char* PhaseName(Phase p) {
    switch (p) {
        case Phase::Before: return "before";
        case Phase::Restarting: return "restarting";
        case Phase::After: return "after";
    }
    return "?";
}

struct RequestRecord {
    double t = 0;
    std::string phase;
    std::string peer;
    std::string path;
    std::string host;
    bool hasAuthorization = false;
    std::string authorization;
    std::string formatProblem;
    std::string verdict;
    std::string detail;
    int status = 0;
    std::string nonce;  // the nonce of the challenge, when one was sent
    std::string answer;  // how the connection ended
    size_t bytesSent = 0;
    size_t bytesPlanned = 0;
};

struct Conn {
    int fd = -1;
    std::string peer;
    enum State { Reading, Writing, Held, Draining, Open } state = Reading;
    std::string in;
    std::string out;
    size_t sent = 0;
    double deadline = 0;  // for Reading and Draining
    double writeAt = 0;   // Writing: the answer goes out from this moment (--answer-delay-ms)
    int record = -1;
    bool neverClose = false;
    bool startsTransfer = false;  // the upgrade command: fetch after this connection ends
    bool isVerify = false;        // a status read after the restart
    bool wasHeld = false;         // the upgrade answer held back until after the transfer
    bool dead = false;
};

struct Timed {
    double at;
    std::vector<unsigned char> bytes;
    bool outgoing;  // true: an ACK to send; false: a received datagram to handle
};

class Sim {
public:
    explicit Sim(const Options& o) : o_(o) {}
    int Run();

private:
    // -- setup and end
    bool Setup();
    bool OpenListener();
    void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void WriteReport();
    int ExitStatus() const;
    std::string Verdict() const;

    // -- http
    void Accept();
    void OnReadable(Conn& c);
    void OnWritable(Conn& c);
    void HandleRequest(Conn& c);
    void FinishConn(Conn& c, const std::string& how);
    void Respond(Conn& c, RequestRecord& r, int status, const std::string& head, const std::string& body,
                 unsigned target);
    std::string StatusPage(unsigned target);
    std::string Challenge(bool stale);
    void NewNonce();

    // -- tftp
    void StartTransfer();
    void SendRrq(const std::string& name);
    void OnDatagram();
    void HandleDatagram(const std::vector<unsigned char>& p);
    void SendAck(uint16_t block, bool retransmit);
    void SendRaw(int fd, const std::vector<unsigned char>& p);
    void EndTransfer(const std::string& outcome);
    void ProtocolError(const std::string& e);
    void Timers(double now);
    void BeginRestart();
    void EndRestart();
    bool Chance(double pct);

    Options o_;
    std::mt19937_64 rng_;
    double start_ = 0;
    int listenFd_ = -1;
    int udpFd_ = -1;
    int strayFd_ = -1;
    std::vector<Conn> conns_;
    std::vector<RequestRecord> records_;
    std::vector<Timed> timed_;
    bool done_ = false;
    std::string endReason_;

    Phase phase_ = Phase::Before;
    double restartBegan_ = -1, restartEnds_ = 0;
    int silentConnections_ = 0;
    bool verifyServed_ = false;
    std::string versionServedAfter_;
    bool pendingRestart_ = false;

    // digest
    DigestConfig digest_;
    std::string nonce_;
    std::map<std::string, uint32_t> ncSeen_;
    std::set<std::string> issued_;
    bool staleOnceDone_ = false;

    // expected image
    bool haveExpected_ = false;
    std::vector<unsigned char> expected_;
    std::string versionAfter_;

    // tftp
    enum class TState { Idle, Scheduled, WrongName, AwaitOack, AwaitData, Stopped, Dally, Done } ts_ = TState::Idle;
    bool upgradeRequested_ = false;
    std::string upgradePath_;
    uint32_t server_ = 0;
    uint16_t serverPort_ = 0;
    std::string file_;
    double tftpAt_ = 0;  // start time (Scheduled), end of WrongName wait, end of Dally
    double nextRetransmit_ = 0;
    double lastProgress_ = 0;
    int retriesLeft_ = 0;
    std::vector<unsigned char> lastSent_;  // the RRQ or the last ACK
    bool lastSentIsAck_ = false;
    bool reorderPending_ = false;
    std::vector<unsigned char> reorderAck_;
    bool heldIncoming_ = false;
    std::vector<unsigned char> heldPacket_;
    uint64_t tsize_ = 0;
    bool haveOack_ = false;
    std::string oackProblem_;
    uint32_t expectedBlock_ = 0;
    uint32_t lastAcked_ = 0;
    std::vector<unsigned char> image_;
    bool complete_ = false;
    bool transferTried_ = false;
    bool transferEnded_ = false;
    std::string outcome_ = "not-started";
    std::vector<std::string> protocolErrors_;
    std::vector<std::string> errorsReceived_;
    bool errorSent_ = false;
    bool wrongNameAnswered_ = false;
    int strayLeft_ = 0;
    uint32_t strayBlock_ = 0;
    std::set<std::string> unknownSources_;
    struct {
        unsigned rrqSent = 0, packetsReceived = 0, packetsSent = 0, dataReceived = 0, duplicateData = 0,
                 duplicateOack = 0, acksSent = 0, ackRetransmits = 0, acksDropped = 0, acksDuplicated = 0,
                 acksDelayed = 0, acksReordered = 0, dataDropped = 0, dataDuplicated = 0, dataDelayed = 0,
                 dataReordered = 0, straySent = 0, errorsSent = 0, unknownSource = 0;
    } n_;
};

void Sim::Log(const char* fmt, ...) {
    if (!o_.verbose) return;
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "zem-sim %8.3f %s\n", Now() - start_, buf);
}

bool Sim::Chance(double pct) {
    if (pct <= 0) return false;
    std::uniform_real_distribution<double> d(0.0, 100.0);
    return d(rng_) < pct;
}

void Sim::NewNonce() {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016llx%016llx", (unsigned long long)rng_(), (unsigned long long)rng_());
    nonce_ = buf;
    issued_.insert(nonce_);
    Log("new nonce %s", nonce_.c_str());
}

bool Sim::OpenListener() {
    listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) return false;
    int one = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = SockAddr(o_.address, o_.port);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listenFd_, 16) != 0 ||
        !SetNonBlocking(listenFd_)) {
        std::fprintf(stderr, "zem-sim: cannot listen on %s: %s\n", Endpoint(o_.address, o_.port).c_str(),
                     std::strerror(errno));
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    return true;
}

bool Sim::Setup() {
    start_ = Now();
    if (!o_.haveSeed) o_.seed = uint64_t(time(nullptr)) ^ (uint64_t(getpid()) << 32);
    rng_.seed(o_.seed);

    if (!o_.expectImage.empty()) {
        std::ifstream f(o_.expectImage, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "zem-sim: cannot read %s\n", o_.expectImage.c_str());
            return false;
        }
        expected_.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
        haveExpected_ = true;
    }
    versionAfter_ = o_.versionAfter;
    if (versionAfter_.empty() && haveExpected_) versionAfter_ = ImageVersion(expected_);
    if (versionAfter_.empty()) versionAfter_ = "2.0.0";

    digest_.user = o_.user;
    digest_.password = o_.password;
    digest_.realm = o_.realm;
    digest_.qop = o_.qop;
    digest_.algorithm = o_.algorithm;
    digest_.opaque = o_.opaque;
    digest_.strictFormat = !o_.lenientAuthFormat;
    if (!o_.nonce.empty()) {
        nonce_ = o_.nonce;
        issued_.insert(nonce_);
    } else {
        NewNonce();
    }

    if (pipe(g_signalPipe) != 0) return false;
    SetNonBlocking(g_signalPipe[0]);
    SetNonBlocking(g_signalPipe[1]);
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!OpenListener()) return false;
    Log("web server on %s", Endpoint(o_.address, o_.port).c_str());
    return true;
}

// ------------------------------------------------------------------ http

std::string Sim::Challenge(bool stale) { return ChallengeLine(digest_, nonce_, stale); }

std::string Sim::StatusPage(unsigned target) {
    bool after = (target == kTargetVerify);
    const std::string& version = after ? versionServedAfter_ : o_.versionBefore;
    std::string body =
        "<html><head><title>ZEM Advanced Status</title></head>\r\n<body>\r\n<h1>Advanced Status</h1>\r\n";
    if (o_.noLabels & target) {
        body += "<p>Status information is not available.</p>\r\n";
    } else {
        body += "<table>\r\n";
        const std::pair<const char*, const std::string*> rows[] = {
            {"Product Name:", &o_.productName}, {"MAC Address:", &o_.mac},
            {"Software Version:", &version},    {"Hardware Version:", &o_.hardwareVersion},
            {"Serial Number:", &o_.serial},
        };
        for (const auto& r : rows) body += std::string("<tr><td>") + r.first + "</td><td>" + *r.second + "</td></tr>\r\n";
        body += "</table>\r\n";
    }
    if (o_.bigPage & target) {
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

void Sim::Respond(Conn& c, RequestRecord& r, int status, const std::string& extraHead, const std::string& body,
                  unsigned target) {
    const char* reason = status == 200 ? "OK" : status == 401 ? "Unauthorized" : status == 404 ? "Not Found"
                         : status == 400 ? "Bad Request" : "Service Unavailable";
    bool http10 = status == 200 && (o_.http10 & target);
    char line[128];
    std::snprintf(line, sizeof line, "%s %d %s\r\n", http10 ? "HTTP/1.0" : "HTTP/1.1", status, reason);
    std::string head = line;
    head += "Server: zem-sim\r\n";
    if (!extraHead.empty()) head += extraHead + "\r\n";
    head += "Content-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n";
    r.status = status;
    c.out = head + body;
    c.sent = 0;
    c.writeAt = Now() + o_.answerDelayMs / 1000.0;
    r.bytesPlanned = c.out.size();
    c.neverClose = (o_.neverClose & target) != 0;
    if (o_.closeWithoutAnswer & target) {
        r.status = 0;
        if (target == kTargetVerify) c.isVerify = true;
        c.out.clear();
        FinishConn(c, "closed-without-answer");
        return;
    }
    c.state = Conn::Writing;
}

void Sim::Accept() {
    while (true) {
        sockaddr_in sa;
        socklen_t len = sizeof sa;
        int fd = accept(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
        if (fd < 0) return;
        std::string peer = Endpoint(ntohl(sa.sin_addr.s_addr), ntohs(sa.sin_port));
        if (phase_ == Phase::Restarting) {
            ++silentConnections_;
            Log("restarting: closing connection from %s unanswered", peer.c_str());
            close(fd);
            continue;
        }
        SetNonBlocking(fd);
        Conn c;
        c.fd = fd;
        c.peer = peer;
        c.deadline = Now() + o_.httpTimeoutMs / 1000.0;
        conns_.push_back(c);
        Log("connection from %s", peer.c_str());
    }
}

void Sim::FinishConn(Conn& c, const std::string& how) {
    if (c.record >= 0) {
        RequestRecord& r = records_[size_t(c.record)];
        bool whole = !c.out.empty() && c.sent == c.out.size();
        if (c.state == Conn::Open) r.answer = "never-closed";
        else if (whole) r.answer = c.wasHeld ? "sent-after-transfer" : "answered";
        else r.answer = how;
        r.bytesSent = c.sent;
    }
    if (c.fd >= 0) close(c.fd);
    c.fd = -1;
    c.dead = true;
    Log("connection from %s ends: %s", c.peer.c_str(), how.c_str());
    if (c.startsTransfer && ts_ == TState::Idle) {
        ts_ = TState::Scheduled;
        tftpAt_ = Now() + o_.rrqDelayMs / 1000.0;
    }
    if (c.isVerify && !verifyServed_) {
        verifyServed_ = true;
        if (o_.exitAfterVerify) {
            done_ = true;
            endReason_ = "verified";
        }
    }
}

void Sim::OnReadable(Conn& c) {
    char buf[4096];
    ssize_t n = recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (c.state == Conn::Reading) {
        if (n <= 0) {
            RequestRecord r;
            r.t = Now() - start_;
            r.phase = PhaseName(phase_);
            r.peer = c.peer;
            r.verdict = "incomplete-request";
            r.detail = "peer closed after " + std::to_string(c.in.size()) + " bytes";
            records_.push_back(r);
            c.record = int(records_.size() - 1);
            FinishConn(c, "peer-closed");
            return;
        }
        c.in.append(buf, size_t(n));
        if (c.in.find("\r\n\r\n") != std::string::npos) {
            HandleRequest(c);
        } else if (c.in.size() > kMaxHead) {
            RequestRecord r;
            r.t = Now() - start_;
            r.phase = PhaseName(phase_);
            r.peer = c.peer;
            r.verdict = "head-too-long";
            records_.push_back(r);
            c.record = int(records_.size() - 1);
            Respond(c, records_.back(), 400, "", "<html><body>Bad Request</body></html>\r\n", 0);
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

void Sim::OnWritable(Conn& c) {
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
    if (c.record >= 0) records_[size_t(c.record)].bytesSent = c.sent;
    // The answer is out: the fetch may begin.
    if (c.startsTransfer && ts_ == TState::Idle) {
        ts_ = TState::Scheduled;
        tftpAt_ = Now() + o_.rrqDelayMs / 1000.0;
    }
    c.startsTransfer = false;
    if (c.neverClose) {
        c.state = Conn::Open;
        if (c.record >= 0) records_[size_t(c.record)].answer = "never-closed";
        Log("answer to %s sent; keeping the connection open", c.peer.c_str());
        return;
    }
    // Close our side and wait for the peer's close, so that nothing still
    // on its way to us turns our close into a reset.
    shutdown(c.fd, SHUT_WR);
    c.state = Conn::Draining;
    c.deadline = Now() + 2.0;
}

void Sim::HandleRequest(Conn& c) {
    size_t end = c.in.find("\r\n\r\n");
    std::string headText = c.in.substr(0, end + 4);
    RequestRecord r;
    r.t = Now() - start_;
    r.phase = PhaseName(phase_);
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
    records_.push_back(r);
    c.record = int(records_.size() - 1);
    RequestRecord& rec = records_.back();
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
    if (isStatus) target = phase_ == Phase::After ? unsigned(kTargetVerify) : unsigned(kTargetStatus);
    if (isUpgrade) target = kTargetUpgrade;
    if (!isStatus && !isUpgrade) {
        rec.verdict = "not-found";
        Respond(c, rec, 404, "", "<html><body>Not Found</body></html>\r\n", 0);
        return;
    }

    if (o_.auth) {
        if (!h.hasAuthorization) {
            rec.verdict = "challenge";
            rec.nonce = nonce_;
            Respond(c, rec, 401, Challenge(false), "<html><body>401 Unauthorized</body></html>\r\n", target);
            return;
        }
        uint32_t expectedNc = ncSeen_[nonce_] + 1;
        AuthCheck chk = CheckAuthorization(digest_, h.authorization, nonce_, h.path, expectedNc);
        if (chk.nonceCurrent) ncSeen_[nonce_] = expectedNc;
        bool stale = false;
        if (chk.verdict == AuthVerdict::Accepted && o_.noncePolicy == NoncePolicy::StaleOnce && !staleOnceDone_) {
            staleOnceDone_ = true;
            NewNonce();
            rec.verdict = "stale-once";
            rec.detail = "first authorised request: new nonce";
            stale = true;
        } else if (chk.verdict != AuthVerdict::Accepted) {
            rec.verdict = AuthVerdictName(chk.verdict);
            rec.detail = chk.detail;
            if (chk.verdict == AuthVerdict::StaleNonce) {
                stale = true;
                if (!issued_.count(chk.nonce)) rec.detail += " (never issued)";
            }
        }
        if (!rec.verdict.empty()) {
            rec.nonce = nonce_;
            Respond(c, rec, 401, Challenge(stale), "<html><body>401 Unauthorized</body></html>\r\n", target);
            return;
        }
        rec.verdict = "accepted";
        if (o_.noncePolicy == NoncePolicy::Every) NewNonce();
    } else {
        rec.verdict = "open";
    }

    if (isStatus) {
        if (target == kTargetVerify) c.isVerify = true;
        Respond(c, rec, 200, "", StatusPage(target), target);
        return;
    }

    // The upgrade command.
    uint32_t addr = 0;
    uint16_t port = 0;
    std::string file, why;
    if (!ParseUpgradeTarget(h.path, &addr, &port, &file, &why)) {
        rec.detail = why;
        rec.verdict += ", bad-upgrade-target";
        Respond(c, rec, 400, "", "<html><body>Bad upgrade target</body></html>\r\n", target);
        return;
    }
    if (upgradeRequested_ || phase_ != Phase::Before) {
        rec.detail = "an upgrade was already requested; ignored";
        Respond(c, rec, 200, "", "<html><body>Upgrade already in progress</body></html>\r\n", target);
        return;
    }
    upgradeRequested_ = true;
    upgradePath_ = h.path;
    server_ = addr;
    serverPort_ = port;
    file_ = file;
    Log("upgrade from %s file %s", Endpoint(addr, port).c_str(), file.c_str());
    const std::string page = "<html><body>Firmware upgrade started.</body></html>\r\n";
    if (o_.holdUpgradeAnswer && !(o_.closeWithoutAnswer & target)) {
        // Answer later, after the transfer; fetch now.
        Respond(c, rec, 200, "", page, target);
        c.state = Conn::Held;
        c.wasHeld = true;
        rec.answer = "held";
        ts_ = TState::Scheduled;
        tftpAt_ = Now() + o_.rrqDelayMs / 1000.0;
        return;
    }
    c.startsTransfer = true;
    Respond(c, rec, 200, "", page, target);
}

// ------------------------------------------------------------------ tftp

void Sim::SendRaw(int fd, const std::vector<unsigned char>& p) {
    sockaddr_in sa = SockAddr(server_, serverPort_);
    if (sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa) >= 0) ++n_.packetsSent;
}

void Sim::SendRrq(const std::string& name) {
    lastSent_ = BuildRrq(name);
    lastSentIsAck_ = false;
    SendRaw(udpFd_, lastSent_);
    ++n_.rrqSent;
    Log("RRQ %s to %s", name.c_str(), Endpoint(server_, serverPort_).c_str());
}

void Sim::StartTransfer() {
    transferTried_ = true;
    udpFd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = SockAddr(o_.address, o_.tftpPort);
    if (udpFd_ < 0 || bind(udpFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || !SetNonBlocking(udpFd_)) {
        ProtocolError(std::string("cannot open the TFTP client socket: ") + std::strerror(errno));
        if (udpFd_ >= 0) close(udpFd_);
        udpFd_ = -1;
        EndTransfer("failed: no socket");
        return;
    }
    if (o_.stray > 0) {
        strayFd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in s2 = SockAddr(o_.address, 0);
        if (strayFd_ >= 0 && bind(strayFd_, reinterpret_cast<sockaddr*>(&s2), sizeof s2) == 0) {
            SetNonBlocking(strayFd_);
            strayLeft_ = o_.stray;
        }
    }
    double now = Now();
    lastProgress_ = now;
    retriesLeft_ = o_.ackRetries;
    nextRetransmit_ = now + o_.ackTimeoutMs / 1000.0;
    if (o_.noRrq) {
        transferTried_ = false;
        ts_ = TState::Done;
        outcome_ = "no-rrq";
        Log("not sending a read request (--no-rrq)");
        return;
    }
    if (o_.wrongNameFirst) {
        std::string wrong = file_;
        bool changed = false;
        for (char& ch : wrong) {
            if (ch >= 'a' && ch <= 'z') {
                ch = char(ch - 'a' + 'A');
                changed = true;
            }
        }
        if (!changed) wrong += "x";
        SendRrq(wrong);
        ts_ = TState::WrongName;
        tftpAt_ = now + o_.ackTimeoutMs / 1000.0;
        return;
    }
    SendRrq(file_);
    ts_ = TState::AwaitOack;
}

void Sim::ProtocolError(const std::string& e) {
    Log("protocol error: %s", e.c_str());
    if (protocolErrors_.size() < 50) protocolErrors_.push_back(e);
}

void Sim::SendAck(uint16_t block, bool retransmit) {
    std::vector<unsigned char> p = BuildAck(block);
    lastSent_ = p;
    lastSentIsAck_ = true;
    if (retransmit) ++n_.ackRetransmits;
    if (Chance(o_.dropAck)) {
        ++n_.acksDropped;
        Log("ACK %u dropped (fault)", block);
        return;
    }
    if (Chance(o_.delayAck)) {
        ++n_.acksDelayed;
        timed_.push_back({Now() + o_.delayMs / 1000.0, p, true});
        Log("ACK %u delayed (fault)", block);
    } else {
        SendRaw(udpFd_, p);
        ++n_.acksSent;
        Log("ACK %u", block);
    }
    if (Chance(o_.dupAck)) {
        ++n_.acksDuplicated;
        SendRaw(udpFd_, p);
        ++n_.acksSent;
    }
    if (reorderPending_) {
        // An older ACK arriving after a newer one.
        reorderPending_ = false;
        SendRaw(udpFd_, reorderAck_);
        ++n_.acksSent;
    }
    if (Chance(o_.reorderAck)) {
        ++n_.acksReordered;
        reorderPending_ = true;
        reorderAck_ = p;
    }
}

void Sim::OnDatagram() {
    while (true) {
        unsigned char buf[2048];
        sockaddr_in sa;
        socklen_t len = sizeof sa;
        ssize_t n = recvfrom(udpFd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n < 0) return;
        uint32_t from = ntohl(sa.sin_addr.s_addr);
        uint16_t fromPort = ntohs(sa.sin_port);
        ++n_.packetsReceived;
        if (from != server_ || fromPort != serverPort_) {
            ++n_.unknownSource;
            std::string src = Endpoint(from, fromPort);
            if (unknownSources_.insert(src).second)
                ProtocolError("datagram from " + src + ", not from the server " + Endpoint(server_, serverPort_));
            continue;
        }
        std::vector<unsigned char> p(buf, buf + n);
        if (ts_ == TState::WrongName) {
            wrongNameAnswered_ = true;
            ProtocolError("the server answered the read request for a wrong name");
            continue;
        }
        if (ts_ != TState::AwaitOack && ts_ != TState::AwaitData && ts_ != TState::Dally &&
            ts_ != TState::Stopped) {
            continue;
        }
        if (Chance(o_.dropData)) {
            ++n_.dataDropped;
            Log("received datagram dropped (fault)");
            continue;
        }
        if (Chance(o_.delayData)) {
            ++n_.dataDelayed;
            timed_.push_back({Now() + o_.delayMs / 1000.0, p, false});
            continue;
        }
        if (!heldIncoming_ && Chance(o_.reorderData)) {
            ++n_.dataReordered;
            heldIncoming_ = true;
            heldPacket_ = p;
            timed_.push_back({Now() + o_.delayMs / 1000.0, {}, false});  // release if nothing else comes
            continue;
        }
        bool dup = Chance(o_.dupData);
        HandleDatagram(p);
        if (dup) {
            ++n_.dataDuplicated;
            HandleDatagram(p);
        }
        if (heldIncoming_) {
            heldIncoming_ = false;
            HandleDatagram(heldPacket_);
        }
    }
}

void Sim::HandleDatagram(const std::vector<unsigned char>& p) {
    if (udpFd_ < 0 || p.size() < 2) {
        if (!p.empty()) ProtocolError("datagram of " + std::to_string(p.size()) + " bytes");
        return;
    }
    uint16_t op = uint16_t(p[0] << 8 | p[1]);
    double now = Now();
    if (op == kOack) {
        if (ts_ == TState::AwaitOack) {
            std::string why;
            uint64_t tsize = 0;
            if (!ParseOack(p.data(), p.size(), &tsize, &why)) {
                oackProblem_ = why;
                ProtocolError("bad OACK: " + why);
                SendRaw(udpFd_, BuildError(8, "bad option acknowledgement"));
                ++n_.errorsSent;
                EndTransfer("failed: bad OACK");
                return;
            }
            haveOack_ = true;
            tsize_ = tsize;
            if (tsize / 512 + 1 > kMaxBlocks) ProtocolError("tsize " + std::to_string(tsize) + " needs more than 65535 blocks");
            Log("OACK tsize %llu", (unsigned long long)tsize);
            ts_ = TState::AwaitData;
            expectedBlock_ = 1;
            lastAcked_ = 0;
            lastProgress_ = now;
            retriesLeft_ = o_.ackRetries;
            nextRetransmit_ = now + o_.ackTimeoutMs / 1000.0;
            SendAck(0, false);
        } else if (ts_ == TState::AwaitData && expectedBlock_ == 1) {
            ++n_.duplicateOack;
            SendAck(0, false);
        } else {
            ++n_.duplicateOack;  // a late copy; nothing to answer
        }
        return;
    }
    if (op == kData) {
        if (p.size() < 4) {
            ProtocolError("DATA packet of " + std::to_string(p.size()) + " bytes");
            return;
        }
        uint16_t block = uint16_t(p[2] << 8 | p[3]);
        size_t len = p.size() - 4;
        ++n_.dataReceived;
        if (ts_ == TState::AwaitOack) {
            ProtocolError("DATA block " + std::to_string(block) + " before an OACK");
            return;
        }
        if (len > 512) {
            ProtocolError("DATA block " + std::to_string(block) + " carries " + std::to_string(len) + " bytes");
            return;
        }
        bool repeat = lastAcked_ > 0 && block == lastAcked_;
        // Blocks never wrap, so a lower number is an old copy, one that was
        // sent again or came late.
        bool old = block < expectedBlock_;
        if (ts_ == TState::Stopped) {
            if (old || block == o_.stopAt) ++n_.duplicateData;
            return;
        }
        if (ts_ == TState::Dally) {
            if (old) {
                ++n_.duplicateData;
                if (repeat) SendAck(block, true);
            } else {
                ProtocolError("DATA block " + std::to_string(block) + " after the final block");
            }
            return;
        }
        // AwaitData
        if (expectedBlock_ <= kMaxBlocks && block == expectedBlock_) {
            if (o_.stopAt != 0 && block >= o_.stopAt) {
                Log("DATA %u: no longer acknowledging (fault)", block);
                ts_ = TState::Stopped;
                return;
            }
            if (strayLeft_ > 0 && strayFd_ >= 0 && strayBlock_ != block) {
                // The ACK of this block from a port the server has never
                // seen, and no real ACK until the server sends the block
                // again: a server that took the stray one runs ahead.
                strayBlock_ = block;
                --strayLeft_;
                SendRaw(strayFd_, BuildAck(block));
                ++n_.straySent;
                Log("DATA %u answered from the stray port (fault)", block);
                return;
            }
            if (o_.errorAt != 0 && block == o_.errorAt && !errorSent_) {
                errorSent_ = true;
                SendRaw(udpFd_, BuildError(0, "simulated error"));
                ++n_.errorsSent;
                Log("DATA %u answered with ERROR (fault)", block);
                if (o_.errorFatal) EndTransfer("failed: sent an ERROR packet");
                return;
            }
            image_.insert(image_.end(), p.begin() + 4, p.end());
            if (haveOack_ && image_.size() > tsize_)
                ProtocolError("more data than tsize (" + std::to_string(image_.size()) + " bytes)");
            lastAcked_ = block;
            ++expectedBlock_;
            lastProgress_ = now;
            retriesLeft_ = o_.ackRetries;
            nextRetransmit_ = now + o_.ackTimeoutMs / 1000.0;
            if (len < 512) {
                complete_ = true;
                if (image_.size() != tsize_)
                    ProtocolError("received " + std::to_string(image_.size()) + " bytes, tsize was " +
                                  std::to_string(tsize_));
                // Stay a while to acknowledge a repeated final block.  The
                // restart begins before the final ACK leaves, so that no
                // status read can slip in between.
                ts_ = TState::Dally;
                tftpAt_ = now + (o_.ackTimeoutMs / 1000.0) * (o_.ackRetries + 1);
                EndTransfer("complete");
            }
            SendAck(block, false);
        } else if (old) {
            ++n_.duplicateData;
            if (repeat) SendAck(block, true);
        } else {
            ProtocolError("DATA block " + std::to_string(block) + ", expected " + std::to_string(expectedBlock_));
        }
        return;
    }
    if (op == kError) {
        std::string msg;
        uint16_t code = p.size() >= 4 ? uint16_t(p[2] << 8 | p[3]) : 0;
        if (p.size() > 4) {
            const char* s = reinterpret_cast<const char*>(p.data() + 4);
            msg.assign(s, strnlen(s, p.size() - 4));
        }
        errorsReceived_.push_back(std::to_string(code) + " " + msg);
        ProtocolError("ERROR packet from the server: " + std::to_string(code) + " " + msg);
        if (ts_ == TState::AwaitOack || ts_ == TState::AwaitData) EndTransfer("failed: server sent ERROR");
        return;
    }
    if (ts_ != TState::Stopped && ts_ != TState::Dally) ProtocolError("unexpected opcode " + std::to_string(op));
}

void Sim::EndTransfer(const std::string& outcome) {
    if (transferEnded_) return;
    transferEnded_ = true;
    outcome_ = outcome;
    Log("transfer ended: %s (%zu bytes)", outcome.c_str(), image_.size());
    if (ts_ != TState::Dally) {
        ts_ = TState::Done;
        if (udpFd_ >= 0) close(udpFd_);
        udpFd_ = -1;
    }
    if (strayFd_ >= 0) close(strayFd_);
    strayFd_ = -1;
    // A held upgrade answer goes out now; the restart follows when it is sent.
    bool held = false;
    for (Conn& c : conns_) {
        if (!c.dead && c.state == Conn::Held) {
            c.state = Conn::Writing;
            held = true;
        }
    }
    if (held) pendingRestart_ = true;
    else BeginRestart();
}

void Sim::BeginRestart() {
    pendingRestart_ = false;
    bool intact = ExitStatus() == kExitIntact || ExitStatus() == kExitProtocol;
    versionServedAfter_ = intact ? versionAfter_ : o_.versionBefore;
    for (Conn& c : conns_)
        if (!c.dead) FinishConn(c, "closed-by-restart");
    phase_ = Phase::Restarting;
    restartBegan_ = Now();
    restartEnds_ = restartBegan_ + o_.restartSeconds;
    if (o_.restartRefuse && listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
    Log("restarting for %.3f s; will report version %s", o_.restartSeconds, versionServedAfter_.c_str());
}

void Sim::EndRestart() {
    phase_ = Phase::After;
    if (listenFd_ < 0 && !OpenListener()) {
        done_ = true;
        endReason_ = "cannot listen after the restart";
    }
    if (o_.noncePolicy == NoncePolicy::Restart) NewNonce();
    Log("restart over");
}

void Sim::Timers(double now) {
    if (o_.maxSeconds > 0 && now - start_ >= o_.maxSeconds) {
        done_ = true;
        endReason_ = "max-seconds";
    }
    if (phase_ == Phase::Restarting && now >= restartEnds_) EndRestart();
    if (pendingRestart_) {
        bool held = false;
        for (const Conn& c : conns_)
            if (!c.dead && (c.state == Conn::Writing || c.state == Conn::Held)) held = true;
        if (!held) BeginRestart();
    }
    for (Conn& c : conns_) {
        if (c.dead) continue;
        if (c.state == Conn::Reading && now >= c.deadline) {
            RequestRecord r;
            r.t = now - start_;
            r.phase = PhaseName(phase_);
            r.peer = c.peer;
            r.verdict = "request-timeout";
            r.detail = std::to_string(c.in.size()) + " bytes of the head arrived";
            records_.push_back(r);
            c.record = int(records_.size() - 1);
            FinishConn(c, "timeout");
        } else if (c.state == Conn::Draining && now >= c.deadline) {
            FinishConn(c, "closed");
        }
    }
    // delayed packets
    std::vector<Timed> due;
    for (size_t i = 0; i < timed_.size();) {
        if (timed_[i].at <= now) {
            due.push_back(timed_[i]);
            timed_.erase(timed_.begin() + long(i));
        } else {
            ++i;
        }
    }
    for (const Timed& t : due) {
        if (udpFd_ < 0) continue;
        if (t.outgoing) {
            SendRaw(udpFd_, t.bytes);
            ++n_.acksSent;
        } else if (t.bytes.empty()) {
            if (heldIncoming_) {
                heldIncoming_ = false;
                HandleDatagram(heldPacket_);
            }
        } else {
            HandleDatagram(t.bytes);
        }
    }
    switch (ts_) {
        case TState::Scheduled:
            if (now >= tftpAt_) StartTransfer();
            break;
        case TState::WrongName:
            if (now >= tftpAt_) {
                SendRrq(file_);
                ts_ = TState::AwaitOack;
                lastProgress_ = now;
                retriesLeft_ = o_.ackRetries;
                nextRetransmit_ = now + o_.ackTimeoutMs / 1000.0;
            }
            break;
        case TState::AwaitOack:
        case TState::AwaitData:
            if (now >= nextRetransmit_) {
                if (retriesLeft_ > 0) {
                    --retriesLeft_;
                    nextRetransmit_ = now + o_.ackTimeoutMs / 1000.0;
                    if (lastSentIsAck_) {
                        SendAck(uint16_t(lastSent_[2] << 8 | lastSent_[3]), true);
                    } else {
                        SendRaw(udpFd_, lastSent_);
                        ++n_.rrqSent;
                    }
                } else {
                    EndTransfer(ts_ == TState::AwaitOack ? "failed: no answer to the read request"
                                                         : "failed: no DATA after block " + std::to_string(lastAcked_));
                }
            }
            break;
        case TState::Stopped:
            if (now >= lastProgress_ + (o_.ackTimeoutMs / 1000.0) * (o_.ackRetries + 1))
                EndTransfer("failed: stopped acknowledging at block " + std::to_string(o_.stopAt));
            break;
        case TState::Dally:
            if (now >= tftpAt_) {
                ts_ = TState::Done;
                if (udpFd_ >= 0) close(udpFd_);
                udpFd_ = -1;
            }
            break;
        default:
            break;
    }
}

// ------------------------------------------------------------------ report

int Sim::ExitStatus() const {
    if (!transferTried_) return kExitNoTransfer;
    bool intact = complete_ && haveOack_ && image_.size() == tsize_;
    if (haveExpected_ && image_ != expected_) intact = false;
    if (!intact) return kExitNotIntact;
    return protocolErrors_.empty() ? kExitIntact : kExitProtocol;
}

std::string Sim::Verdict() const {
    switch (ExitStatus()) {
        case kExitIntact: return "intact";
        case kExitProtocol: return "intact-with-protocol-errors";
        case kExitNoTransfer: return "no-transfer";
        default: break;
    }
    if (!complete_) return "incomplete";
    if (image_.size() != tsize_) return "size-mismatch";
    return "different-image";
}

void Sim::WriteReport() {
    if (o_.report.empty()) return;
    std::ostringstream j;
    auto str = [](const std::string& s) { return JsonString(s); };
    auto b = [](bool v) { return v ? "true" : "false"; };
    std::string sha = Sha256Hex(image_);
    j << "{\n";
    j << "  \"verdict\": " << str(Verdict()) << ",\n";
    j << "  \"exit_status\": " << ExitStatus() << ",\n";
    j << "  \"end_reason\": " << str(endReason_) << ",\n";
    j << "  \"seconds\": " << (Now() - start_) << ",\n";
    j << "  \"seed\": " << o_.seed << ",\n";
    j << "  \"image\": {\n";
    j << "    \"bytes_received\": " << image_.size() << ",\n";
    j << "    \"tsize\": " << (haveOack_ ? std::to_string(tsize_) : "null") << ",\n";
    j << "    \"complete\": " << b(complete_) << ",\n";
    j << "    \"sha256\": " << str(sha) << ",\n";
    if (haveExpected_) {
        j << "    \"expected_bytes\": " << expected_.size() << ",\n";
        j << "    \"expected_sha256\": " << str(Sha256Hex(expected_)) << ",\n";
        j << "    \"matches_expected\": " << b(image_ == expected_) << "\n";
    } else {
        j << "    \"expected_bytes\": null,\n    \"expected_sha256\": null,\n    \"matches_expected\": null\n";
    }
    j << "  },\n";
    j << "  \"tftp\": {\n";
    j << "    \"upgrade_path\": " << (upgradeRequested_ ? str(upgradePath_) : "null") << ",\n";
    j << "    \"server\": " << (upgradeRequested_ ? str(Endpoint(server_, serverPort_)) : "null") << ",\n";
    j << "    \"file\": " << (upgradeRequested_ ? str(file_) : "null") << ",\n";
    j << "    \"outcome\": " << str(outcome_) << ",\n";
    j << "    \"oack_ok\": " << b(haveOack_) << ",\n";
    j << "    \"oack_problem\": " << (oackProblem_.empty() ? "null" : str(oackProblem_)) << ",\n";
    j << "    \"rrq_sent\": " << n_.rrqSent << ",\n";
    j << "    \"wrong_name_answered\": " << b(wrongNameAnswered_) << ",\n";
    j << "    \"packets_received\": " << n_.packetsReceived << ",\n";
    j << "    \"packets_sent\": " << n_.packetsSent << ",\n";
    j << "    \"data_received\": " << n_.dataReceived << ",\n";
    j << "    \"blocks_accepted\": " << (lastAcked_) << ",\n";
    j << "    \"retransmissions_seen\": " << n_.duplicateData << ",\n";
    j << "    \"duplicate_oack\": " << n_.duplicateOack << ",\n";
    j << "    \"acks_sent\": " << n_.acksSent << ",\n";
    j << "    \"ack_retransmits\": " << n_.ackRetransmits << ",\n";
    j << "    \"from_unknown_source\": " << n_.unknownSource << ",\n";
    j << "    \"faults\": {\"acks_dropped\": " << n_.acksDropped << ", \"acks_duplicated\": " << n_.acksDuplicated
      << ", \"acks_delayed\": " << n_.acksDelayed << ", \"acks_reordered\": " << n_.acksReordered
      << ", \"data_dropped\": " << n_.dataDropped << ", \"data_duplicated\": " << n_.dataDuplicated
      << ", \"data_delayed\": " << n_.dataDelayed << ", \"data_reordered\": " << n_.dataReordered
      << ", \"stray_sent\": " << n_.straySent << ", \"errors_sent\": " << n_.errorsSent << "},\n";
    j << "    \"errors_received\": [";
    for (size_t i = 0; i < errorsReceived_.size(); ++i) j << (i ? ", " : "") << str(errorsReceived_[i]);
    j << "],\n    \"protocol_errors\": [";
    for (size_t i = 0; i < protocolErrors_.size(); ++i) j << (i ? ", " : "") << str(protocolErrors_[i]);
    j << "]\n  },\n";
    j << "  \"restart\": {\"began\": " << (restartBegan_ >= 0 ? std::to_string(restartBegan_ - start_) : "null")
      << ", \"seconds\": " << o_.restartSeconds << ", \"silent_connections\": " << silentConnections_
      << ", \"version_after\": " << (restartBegan_ >= 0 ? str(versionServedAfter_) : "null")
      << ", \"verify_served\": " << b(verifyServed_) << "},\n";
    j << "  \"http\": [";
    for (size_t i = 0; i < records_.size(); ++i) {
        const RequestRecord& r = records_[i];
        j << (i ? ",\n" : "\n") << "    {\"t\": " << r.t << ", \"phase\": " << str(r.phase)
          << ", \"peer\": " << str(r.peer) << ", \"path\": " << str(r.path) << ", \"host\": " << str(r.host)
          << ", \"authorization\": " << (r.hasAuthorization ? str(r.authorization) : "null")
          << ", \"verdict\": " << str(r.verdict) << ", \"detail\": " << str(r.detail)
          << ", \"status\": " << r.status << ", \"nonce\": " << (r.nonce.empty() ? "null" : str(r.nonce))
          << ", \"answer\": " << str(r.answer) << ", \"bytes_sent\": " << r.bytesSent
          << ", \"format_problem\": " << (r.formatProblem.empty() ? "null" : str(r.formatProblem)) << "}";
    }
    j << (records_.empty() ? "]\n" : "\n  ]\n");
    j << "}\n";
    std::string tmp = o_.report + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "zem-sim: cannot write %s\n", tmp.c_str());
        return;
    }
    std::string text = j.str();
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), o_.report.c_str()) != 0)
        std::fprintf(stderr, "zem-sim: cannot write %s\n", o_.report.c_str());
}

// ------------------------------------------------------------------ loop

int Sim::Run() {
    if (!Setup()) return kExitUsage;
    while (!done_) {
        double now = Now();
        Timers(now);
        if (done_) break;
        conns_.erase(std::remove_if(conns_.begin(), conns_.end(), [](const Conn& c) { return c.dead; }),
                     conns_.end());

        double next = now + 1.0;
        auto consider = [&next](double t) { next = std::min(next, t); };
        if (o_.maxSeconds > 0) consider(start_ + o_.maxSeconds);
        if (phase_ == Phase::Restarting) consider(restartEnds_);
        for (const Conn& c : conns_)
            if (c.state == Conn::Reading || c.state == Conn::Draining) consider(c.deadline);
            else if (c.state == Conn::Writing && c.sent == 0) consider(c.writeAt);
        for (const Timed& t : timed_) consider(t.at);
        if (ts_ == TState::Scheduled || ts_ == TState::WrongName || ts_ == TState::Dally) consider(tftpAt_);
        if (ts_ == TState::AwaitOack || ts_ == TState::AwaitData) consider(nextRetransmit_);
        if (ts_ == TState::Stopped) consider(lastProgress_ + (o_.ackTimeoutMs / 1000.0) * (o_.ackRetries + 1));
        if (pendingRestart_) consider(now + 0.01);

        std::vector<pollfd> fds;
        fds.push_back({g_signalPipe[0], POLLIN, 0});
        int listenIdx = -1, udpIdx = -1, strayIdx = -1;
        if (listenFd_ >= 0) {
            listenIdx = int(fds.size());
            fds.push_back({listenFd_, POLLIN, 0});
        }
        if (udpFd_ >= 0) {
            udpIdx = int(fds.size());
            fds.push_back({udpFd_, POLLIN, 0});
        }
        if (strayFd_ >= 0) {
            strayIdx = int(fds.size());
            fds.push_back({strayFd_, POLLIN, 0});
        }
        size_t connBase = fds.size();
        for (const Conn& c : conns_) {
            short ev = POLLIN;
            if (c.state == Conn::Writing && c.writeAt <= now) ev = POLLIN | POLLOUT;
            fds.push_back({c.fd, ev, 0});
        }
        int timeoutMs = int(std::max(0.0, (next - now) * 1000.0)) + 1;
        int rc = poll(fds.data(), nfds_t(fds.size()), timeoutMs);
        if (rc < 0 && errno != EINTR) {
            endReason_ = std::string("poll failed: ") + std::strerror(errno);
            break;
        }
        if (g_signal != 0) {
            endReason_ = g_signal == SIGINT ? "SIGINT" : "SIGTERM";
            break;
        }
        // Answers held back by --answer-delay-ms go out when their time comes.
        for (Conn& c : conns_)
            if (!c.dead && c.state == Conn::Writing && c.sent == 0 && c.writeAt > now && Now() >= c.writeAt)
                OnWritable(c);
        if (rc <= 0) continue;
        if (listenIdx >= 0 && (fds[size_t(listenIdx)].revents & POLLIN)) Accept();
        if (udpIdx >= 0 && (fds[size_t(udpIdx)].revents & POLLIN) && udpFd_ >= 0) OnDatagram();
        if (strayIdx >= 0 && (fds[size_t(strayIdx)].revents & POLLIN) && strayFd_ >= 0) {
            unsigned char buf[2048];
            while (recv(strayFd_, buf, sizeof buf, 0) > 0) ProtocolError("the server answered the stray port");
        }
        // The connection list may grow in Accept; only the polled ones are looked at.
        for (size_t i = 0; i + connBase < fds.size() && i < conns_.size(); ++i) {
            Conn& c = conns_[i];
            short re = fds[connBase + i].revents;
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
    for (Conn& c : conns_)
        if (!c.dead) FinishConn(c, c.state == Conn::Open ? "never-closed" : "closed-at-end");
    if (endReason_.empty()) endReason_ = "verified";
    WriteReport();
    int status = ExitStatus();
    std::fprintf(stderr, "zem-sim: %s (%zu bytes), end: %s, exit status %d\n", Verdict().c_str(), image_.size(),
                 endReason_.c_str(), status);
    return status;
}

}  // namespace
}  // namespace zemsim

int main(int argc, char** argv) {
    zemsim::Options o;
    std::string error;
    switch (zemsim::ParseOptions(argc, argv, &o, &error)) {
        case zemsim::ParseResult::Help:
            std::fputs(zemsim::HelpText().c_str(), stdout);
            return 0;
        case zemsim::ParseResult::Error:
            std::fprintf(stderr, "zem-sim: %s\nTry zem-sim --help.\n", error.c_str());
            return zemsim::kExitUsage;
        case zemsim::ParseResult::Ok:
            break;
    }
    zemsim::Sim sim(o);
    return sim.Run();
}
