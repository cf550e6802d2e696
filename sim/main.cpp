// zem-sim: a simulated ZEM telephone adapter (see sim.h for its parts).
//
// One thread, one poll loop: each pass runs the timers of the restart, the
// connections and the transfer, waits for the next deadline or socket, and
// hands what arrived to its part. Everything the adapter saw and did goes
// into the JSON report written at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sim.h"

SimRecord Sim;

namespace {

int g_signalPipe[2] = {-1, -1};
volatile sig_atomic_t g_signal = 0;

void OnSignal(int sig) {
  g_signal = sig;
  unsigned char b = 1;
  ssize_t r = write(g_signalPipe[1], &b, 1);
  (void)r;
}

bool Setup() {
  Options& o = Sim.options;
  Sim.start = Now();
  if (!o.haveSeed) o.seed = uint64_t(time(nullptr)) ^ (uint64_t(getpid()) << 32);
  Sim.random.seed(o.seed);

  if (!o.expectImage.empty()) {
    std::ifstream f(o.expectImage, std::ios::binary);
    if (!f) {
      std::fprintf(stderr, "zem-sim: cannot read %s\n", o.expectImage.c_str());
      return false;
    }
    Sim.expected.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    Sim.haveExpected = true;
  }
  Sim.versionAfter = o.versionAfter;
  if (Sim.versionAfter.empty() && Sim.haveExpected) Sim.versionAfter = ImageVersion(Sim.expected);
  if (Sim.versionAfter.empty()) Sim.versionAfter = "2.0.0";

  SetUpDigest();

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
  Log("web server on %s", Endpoint(o.address, o.port).c_str());
  return true;
}

void Timers(double now) {
  if (Sim.options.maxSeconds > 0 && now - Sim.start >= Sim.options.maxSeconds) {
    Sim.done = true;
    Sim.endReason = "max-seconds";
  }
  RestartTimers(now);
  ConnectionTimers(now);
  TransferTimers(now);
}

// The moment the loop must look again, at most a second from now.
double NextDeadline(double now) {
  double next = now + 1.0;
  if (Sim.options.maxSeconds > 0) next = std::min(next, Sim.start + Sim.options.maxSeconds);
  ConsiderRestartDeadlines(now, &next);
  ConsiderConnectionDeadlines(&next);
  ConsiderTransferDeadlines(&next);
  return next;
}

int Run() {
  if (!Setup()) return kExitUsage;
  while (!Sim.done) {
    double now = Now();
    Timers(now);
    if (Sim.done) break;
    DropDeadConnections();
    double next = NextDeadline(now);

    std::vector<pollfd> fds;
    fds.push_back({g_signalPipe[0], POLLIN, 0});
    int listenIdx = -1, udpIdx = -1, strayIdx = -1;
    if (Web.listenFd >= 0) {
      listenIdx = int(fds.size());
      fds.push_back({Web.listenFd, POLLIN, 0});
    }
    if (Tftp.fd >= 0) {
      udpIdx = int(fds.size());
      fds.push_back({Tftp.fd, POLLIN, 0});
    }
    if (Tftp.strayFd >= 0) {
      strayIdx = int(fds.size());
      fds.push_back({Tftp.strayFd, POLLIN, 0});
    }
    size_t connBase = fds.size();
    AddConnections(&fds, now);
    int timeoutMs = int(std::max(0.0, (next - now) * 1000.0)) + 1;
    int rc = poll(fds.data(), nfds_t(fds.size()), timeoutMs);
    if (rc < 0 && errno != EINTR) {
      Sim.endReason = std::string("poll failed: ") + std::strerror(errno);
      break;
    }
    if (g_signal != 0) {
      Sim.endReason = g_signal == SIGINT ? "SIGINT" : "SIGTERM";
      break;
    }
    SendDueAnswers(now);
    if (rc <= 0) continue;
    if (listenIdx >= 0 && (fds[size_t(listenIdx)].revents & POLLIN)) Accept();
    if (udpIdx >= 0 && (fds[size_t(udpIdx)].revents & POLLIN) && Tftp.fd >= 0) OnDatagram();
    if (strayIdx >= 0 && (fds[size_t(strayIdx)].revents & POLLIN) && Tftp.strayFd >= 0) OnStrayDatagram();
    HandleConnections(fds, connBase);
  }
  CloseConnectionsAtEnd();
  if (Sim.endReason.empty()) Sim.endReason = "verified";
  WriteReport();
  int status = ExitStatus();
  std::fprintf(stderr, "zem-sim: %s (%zu bytes), end: %s, exit status %d\n", ReportVerdict().c_str(), Tftp.image.size(),
               Sim.endReason.c_str(), status);
  return status;
}

}  // namespace

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::Before: return "before";
    case Phase::Restarting: return "restarting";
    case Phase::After: return "after";
  }
  return "?";
}

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void Log(const char* fmt, ...) {
  if (!Sim.options.verbose) return;
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "zem-sim %8.3f %s\n", Now() - Sim.start, buf);
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

int main(int argc, char** argv) {
  std::string error;
  switch (ParseOptions(argc, argv, &Sim.options, &error)) {
    case ParseResult::Help: std::fputs(HelpText().c_str(), stdout); return 0;
    case ParseResult::Error:
      std::fprintf(stderr, "zem-sim: %s\nTry zem-sim --help.\n", error.c_str());
      return kExitUsage;
    case ParseResult::Ok: break;
  }
  return Run();
}
