// zem-sim, the simulated adapter: its state and the calls between its parts.
//
// One thread and one poll loop (main.cpp) drive the web server with its
// digest check (web_server.cpp), the TFTP client that fetches the image named
// by the upgrade command (tftp_client.cpp) with its faults (tftp_faults.cpp),
// and the restart and the report (restart.cpp). Each part keeps its state in a record of its
// own; the loop asks each for its sockets and its next deadline.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "digest_check.h"
#include "formats.h"
#include "options.h"

// ---- the adapter as a whole (main.cpp) -----------------------------------------
enum class Phase { Before, Restarting, After };
const char* PhaseName(Phase phase);

struct SimRecord {
  Options options;
  std::mt19937_64 random;  // faults and nonces, from options.seed
  double start = 0;        // Now() at the start
  Phase phase = Phase::Before;
  bool done = false;
  std::string endReason;
  // --expect-image, and the version the status page shows after an intact transfer
  bool haveExpected = false;
  std::vector<unsigned char> expected;
  std::string versionAfter;
};
extern SimRecord Sim;

// Seconds on the monotonic clock.
double Now();
// A line on stderr with --verbose.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
bool SetNonBlocking(int fd);
sockaddr_in SockAddr(uint32_t address, uint16_t port);
std::string Endpoint(uint32_t address, uint16_t port);

// ---- the web server and its digest check (web_server.cpp) -----------------------
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
  std::string nonce;   // the nonce of the challenge, when one was sent
  std::string answer;  // how the connection ended
  size_t bytesSent = 0;
  size_t bytesPlanned = 0;
};

// One request per connection: read the head, answer, close.
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

struct WebRecord {
  int listenFd = -1;
  std::vector<Conn> conns;
  std::vector<RequestRecord> requests;  // every request, for the report
};
extern WebRecord Web;

// The digest check's configuration from the options, and the first nonce.
void SetUpDigest();
void NewNonce();
bool OpenListener();
void CloseListener();
void Accept();
// The polled connections' sockets, after the others in fds; answers waiting
// for --answer-delay-ms are not polled for writing before their time.
void AddConnections(std::vector<pollfd>* fds, double now);
// Handles what poll found on the connections added from fds[first] on.
void HandleConnections(const std::vector<pollfd>& fds, size_t first);
// Answers held back by --answer-delay-ms whose time has come since now.
void SendDueAnswers(double now);
void ConnectionTimers(double now);
void ConsiderConnectionDeadlines(double* next);
void DropDeadConnections();
void FinishConn(Conn& c, const std::string& how);
void FinishAllConnections(const std::string& how);
// The end of the run: every connection still open is closed and recorded.
void CloseConnectionsAtEnd();
// Held upgrade answers go out now; true when there was one.
bool ReleaseHeldAnswers();
// An answer still being written or held back.
bool AnswersPending();

// ---- the TFTP client and its faults (tftp_client.cpp) ----------------------------
struct TftpRecord {
  enum State { Idle, Scheduled, WrongName, AwaitOack, AwaitData, Stopped, Dally, Done } state = Idle;
  int fd = -1;
  int strayFd = -1;
  // the upgrade command
  bool upgradeRequested = false;
  std::string upgradePath;
  uint32_t server = 0;
  uint16_t serverPort = 0;
  std::string file;
  // the transfer
  bool tried = false;
  bool ended = false;
  std::string outcome = "not-started";
  uint64_t tsize = 0;
  bool haveOack = false;
  std::string oackProblem;
  uint32_t lastAcked = 0;
  std::vector<unsigned char> image;
  bool complete = false;
  bool wrongNameAnswered = false;
  std::vector<std::string> protocolErrors;
  std::vector<std::string> errorsReceived;
  struct {
    unsigned rrqSent = 0, packetsReceived = 0, packetsSent = 0, dataReceived = 0, duplicateData = 0, duplicateOack = 0,
             acksSent = 0, ackRetransmits = 0, acksDropped = 0, acksDuplicated = 0, acksDelayed = 0, acksReordered = 0,
             dataDropped = 0, dataDuplicated = 0, dataDelayed = 0, dataReordered = 0, straySent = 0, errorsSent = 0,
             unknownSource = 0;
  } n;
};
extern TftpRecord Tftp;

// The upgrade command named the server and the file.
void RequestTransfer(const std::string& path, uint32_t server, uint16_t port, const std::string& file);
// The fetch begins --rrq-delay-ms from now (once).
void ScheduleTransfer();
void TransferTimers(double now);
void ConsiderTransferDeadlines(double* next);
void OnDatagram();
void ProtocolError(const std::string& e);
// Between the client and its faults.
void SendRaw(int fd, const std::vector<unsigned char>& packet);
void HandleDatagram(const std::vector<unsigned char>& packet);
void EndTransfer(const std::string& outcome);

// ---- the faults of the TFTP client (tftp_faults.cpp) ------------------------------
// An ACK on its way out, and a datagram from the server on its way in.
void SendAckWithFaults(const std::vector<unsigned char>& ack, uint16_t block);
void DeliverWithFaults(const std::vector<unsigned char>& packet);
// The delayed packets whose time has come.
void DuePackets(double now);
void ConsiderFaultDeadlines(double* next);
// --stray: a second socket, and the ACKs sent from it instead of the real one.
void OpenStrayPort();
bool AnswerFromStrayPort(uint16_t block);
void OnStrayDatagram();
// --error-at: an ERROR instead of the ACK of that block, once.
bool AnswerWithError(uint16_t block);

// ---- the restart and the report (restart.cpp) -------------------------------------
struct RestartRecord {
  bool pending = false;  // begins once the held upgrade answer is out
  double began = -1, ends = 0;
  int silentConnections = 0;  // closed unanswered while restarting
  std::string versionServed;  // on the status page after the restart
  bool verifyServed = false;  // the status read after the restart is answered
};
extern RestartRecord Restart;

// After the transfer: the restart now, or once a held upgrade answer is out.
void RestartAfterTransfer();
void RestartTimers(double now);
void ConsiderRestartDeadlines(double now, double* next);
int ExitStatus();
std::string ReportVerdict();
void WriteReport();
