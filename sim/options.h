// Command-line options of zem-sim.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class NoncePolicy { Fixed, Every, Restart, StaleOnce };

struct Options {
  // where and how long
  uint32_t address = 0;
  bool haveAddress = false;
  uint16_t port = 80;
  std::string report;
  std::string expectImage;
  double maxSeconds = 0;
  bool exitAfterVerify = true;
  double restartSeconds = 45;
  bool restartRefuse = false;
  uint64_t seed = 0;
  bool haveSeed = false;
  bool verbose = false;
  int httpTimeoutMs = 10000;

  // status page
  std::string productName = "ZEM-4200";
  std::string mac = "00:0A:DD:42:00:01";
  std::string versionBefore = "1.0.0";
  std::string versionAfter;  // empty: taken from --expect-image, else "2.0.0"
  std::string hardwareVersion = "1.0";
  std::string serial = "ZEM00000001";

  // digest authentication
  bool auth = false;
  std::string user;
  std::string password;
  bool havePassword = false;
  std::string realm = "ZEM";
  std::string qop;  // empty: none
  std::string algorithm = "MD5";
  std::string opaque;
  NoncePolicy noncePolicy = NoncePolicy::Fixed;
  std::string nonce;  // first nonce; empty: random
  bool lenientAuthFormat = false;

  // tftp client
  int ackTimeoutMs = 1000;
  int ackRetries = 5;
  uint16_t tftpPort = 0;
  int rrqDelayMs = 0;
  int answerDelayMs = 0;

  // faults
  double dropAck = 0, dupAck = 0, delayAck = 0, reorderAck = 0;
  double dropData = 0, dupData = 0, delayData = 0, reorderData = 0;
  int delayMs = 150;
  int stray = 0;
  uint32_t errorAt = 0;
  bool errorFatal = false;
  bool wrongNameFirst = false;
  bool noRrq = false;
  uint32_t stopAt = 0;
  bool holdUpgradeAnswer = false;
  unsigned closeWithoutAnswer = 0;
  unsigned neverClose = 0;
  unsigned bigPage = 0;
  unsigned noLabels = 0;
  unsigned http10 = 0;
};

enum class ParseResult { Ok, Help, Error };

// Parses argv.  On Error, *error says why.
ParseResult ParseOptions(int argc, char** argv, Options* o, std::string* error);
std::string HelpText();
// The long option names, for the check that --help lists them all.
std::vector<std::string> OptionNames();

// Exit statuses.
enum ExitCode {
  kExitIntact = 0,      // the image arrived whole and matches
  kExitNotIntact = 1,   // a transfer was tried; the image is missing, short or different
  kExitNoTransfer = 2,  // no transfer was tried (no upgrade command, or no read request sent)
  kExitUsage = 3,       // bad options or a start-up failure
  kExitProtocol = 4,    // the image is intact, but the server broke the TFTP rules on the way
};
