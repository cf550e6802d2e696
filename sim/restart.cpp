// The adapter's restart after the transfer, and the report of the run: the
// verdict on the image, the exit status and everything the adapter saw.
#include <cstdio>
#include <sstream>

#include "sim.h"

RestartRecord Restart;

namespace {

// The web server falls silent (or refuses connections), and when it answers
// again it reports the new version if the image arrived intact.
void BeginRestart() {
  const Options& o = Sim.options;
  Restart.pending = false;
  bool intact = ExitStatus() == kExitIntact || ExitStatus() == kExitProtocol;
  Restart.versionServed = intact ? Sim.versionAfter : o.versionBefore;
  FinishAllConnections("closed-by-restart");
  Sim.phase = Phase::Restarting;
  Restart.began = Now();
  Restart.ends = Restart.began + o.restartSeconds;
  if (o.restartRefuse) CloseListener();
  Log("restarting for %.3f s; will report version %s", o.restartSeconds, Restart.versionServed.c_str());
}

void EndRestart() {
  Sim.phase = Phase::After;
  if (Web.listenFd < 0 && !OpenListener()) {
    Sim.done = true;
    Sim.endReason = "cannot listen after the restart";
  }
  if (Sim.options.noncePolicy == NoncePolicy::Restart) NewNonce();
  Log("restart over");
}

}  // namespace

void RestartAfterTransfer() {
  // A held upgrade answer goes out now; the restart follows when it is sent.
  if (ReleaseHeldAnswers())
    Restart.pending = true;
  else
    BeginRestart();
}

void RestartTimers(double now) {
  if (Sim.phase == Phase::Restarting && now >= Restart.ends) EndRestart();
  if (Restart.pending && !AnswersPending()) BeginRestart();
}

void ConsiderRestartDeadlines(double now, double* next) {
  if (Sim.phase == Phase::Restarting && Restart.ends < *next) *next = Restart.ends;
  if (Restart.pending && now + 0.01 < *next) *next = now + 0.01;
}

// ---- the report ------------------------------------------------------------------
int ExitStatus() {
  if (!Tftp.tried) return kExitNoTransfer;
  bool intact = Tftp.complete && Tftp.haveOack && Tftp.image.size() == Tftp.tsize;
  if (Sim.haveExpected && Tftp.image != Sim.expected) intact = false;
  if (!intact) return kExitNotIntact;
  return Tftp.protocolErrors.empty() ? kExitIntact : kExitProtocol;
}

std::string ReportVerdict() {
  switch (ExitStatus()) {
    case kExitIntact: return "intact";
    case kExitProtocol: return "intact-with-protocol-errors";
    case kExitNoTransfer: return "no-transfer";
    default: break;
  }
  if (!Tftp.complete) return "incomplete";
  if (Tftp.image.size() != Tftp.tsize) return "size-mismatch";
  return "different-image";
}

void WriteReport() {
  const Options& o = Sim.options;
  if (o.report.empty()) return;
  std::ostringstream j;
  auto str = [](const std::string& s) { return JsonString(s); };
  auto b = [](bool v) { return v ? "true" : "false"; };
  std::string sha = Sha256Hex(Tftp.image);
  j << "{\n";
  j << "  \"verdict\": " << str(ReportVerdict()) << ",\n";
  j << "  \"exit_status\": " << ExitStatus() << ",\n";
  j << "  \"end_reason\": " << str(Sim.endReason) << ",\n";
  j << "  \"seconds\": " << (Now() - Sim.start) << ",\n";
  j << "  \"seed\": " << o.seed << ",\n";
  j << "  \"image\": {\n";
  j << "    \"bytes_received\": " << Tftp.image.size() << ",\n";
  j << "    \"tsize\": " << (Tftp.haveOack ? std::to_string(Tftp.tsize) : "null") << ",\n";
  j << "    \"complete\": " << b(Tftp.complete) << ",\n";
  j << "    \"sha256\": " << str(sha) << ",\n";
  if (Sim.haveExpected) {
    j << "    \"expected_bytes\": " << Sim.expected.size() << ",\n";
    j << "    \"expected_sha256\": " << str(Sha256Hex(Sim.expected)) << ",\n";
    j << "    \"matches_expected\": " << b(Tftp.image == Sim.expected) << "\n";
  } else {
    j << "    \"expected_bytes\": null,\n    \"expected_sha256\": null,\n    \"matches_expected\": null\n";
  }
  j << "  },\n";
  bool asked = Tftp.upgradeRequested;
  const TftpRecord& t = Tftp;
  j << "  \"tftp\": {\n";
  j << "    \"upgrade_path\": " << (asked ? str(t.upgradePath) : "null") << ",\n";
  j << "    \"server\": " << (asked ? str(Endpoint(t.server, t.serverPort)) : "null") << ",\n";
  j << "    \"file\": " << (asked ? str(t.file) : "null") << ",\n";
  j << "    \"outcome\": " << str(t.outcome) << ",\n";
  j << "    \"oack_ok\": " << b(t.haveOack) << ",\n";
  j << "    \"oack_problem\": " << (t.oackProblem.empty() ? "null" : str(t.oackProblem)) << ",\n";
  j << "    \"rrq_sent\": " << t.n.rrqSent << ",\n";
  j << "    \"wrong_name_answered\": " << b(t.wrongNameAnswered) << ",\n";
  j << "    \"packets_received\": " << t.n.packetsReceived << ",\n";
  j << "    \"packets_sent\": " << t.n.packetsSent << ",\n";
  j << "    \"data_received\": " << t.n.dataReceived << ",\n";
  j << "    \"blocks_accepted\": " << t.lastAcked << ",\n";
  j << "    \"retransmissions_seen\": " << t.n.duplicateData << ",\n";
  j << "    \"duplicate_oack\": " << t.n.duplicateOack << ",\n";
  j << "    \"acks_sent\": " << t.n.acksSent << ",\n";
  j << "    \"ack_retransmits\": " << t.n.ackRetransmits << ",\n";
  j << "    \"from_unknown_source\": " << t.n.unknownSource << ",\n";
  j << "    \"faults\": {\"acks_dropped\": " << t.n.acksDropped << ", \"acks_duplicated\": " << t.n.acksDuplicated
    << ", \"acks_delayed\": " << t.n.acksDelayed << ", \"acks_reordered\": " << t.n.acksReordered
    << ", \"data_dropped\": " << t.n.dataDropped << ", \"data_duplicated\": " << t.n.dataDuplicated
    << ", \"data_delayed\": " << t.n.dataDelayed << ", \"data_reordered\": " << t.n.dataReordered
    << ", \"stray_sent\": " << t.n.straySent << ", \"errors_sent\": " << t.n.errorsSent << "},\n";
  j << "    \"errors_received\": [";
  for (size_t i = 0; i < t.errorsReceived.size(); ++i) j << (i ? ", " : "") << str(t.errorsReceived[i]);
  j << "],\n    \"protocol_errors\": [";
  for (size_t i = 0; i < t.protocolErrors.size(); ++i) j << (i ? ", " : "") << str(t.protocolErrors[i]);
  j << "]\n  },\n";
  bool restarted = Restart.began >= 0;
  j << "  \"restart\": {\"began\": " << (restarted ? std::to_string(Restart.began - Sim.start) : "null")
    << ", \"seconds\": " << o.restartSeconds << ", \"silent_connections\": " << Restart.silentConnections
    << ", \"version_after\": " << (restarted ? str(Restart.versionServed) : "null")
    << ", \"verify_served\": " << b(Restart.verifyServed) << "},\n";
  j << "  \"http\": [";
  for (size_t i = 0; i < Web.requests.size(); ++i) {
    const RequestRecord& r = Web.requests[i];
    j << (i ? ",\n" : "\n") << "    {\"t\": " << r.t << ", \"phase\": " << str(r.phase) << ", \"peer\": " << str(r.peer)
      << ", \"path\": " << str(r.path) << ", \"host\": " << str(r.host)
      << ", \"authorization\": " << (r.hasAuthorization ? str(r.authorization) : "null")
      << ", \"verdict\": " << str(r.verdict) << ", \"detail\": " << str(r.detail) << ", \"status\": " << r.status
      << ", \"nonce\": " << (r.nonce.empty() ? "null" : str(r.nonce)) << ", \"answer\": " << str(r.answer)
      << ", \"bytes_sent\": " << r.bytesSent
      << ", \"format_problem\": " << (r.formatProblem.empty() ? "null" : str(r.formatProblem)) << "}";
  }
  j << (Web.requests.empty() ? "]\n" : "\n  ]\n");
  j << "}\n";
  std::string tmp = o.report + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "zem-sim: cannot write %s\n", tmp.c_str());
    return;
  }
  std::string text = j.str();
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok || std::rename(tmp.c_str(), o.report.c_str()) != 0)
    std::fprintf(stderr, "zem-sim: cannot write %s\n", o.report.c_str());
}
