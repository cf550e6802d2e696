#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "digest_check.h"
#include "formats.h"

namespace {

using Setter = std::function<bool(Options&, const char*)>;

struct OptDef {
  const char* name;
  const char* arg;  // nullptr: a flag without value
  const char* help;
  Setter set;
};

bool ToInt(const char* s, long lo, long hi, long* out) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool ToDouble(const char* s, double lo, double hi, double* out) {
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0' || !(v >= lo && v <= hi)) return false;
  *out = v;
  return true;
}

Setter Text(std::string Options::*field) {
  return [field](Options& o, const char* v) {
    o.*field = v;
    return true;
  };
}

Setter Flag(bool Options::*field, bool value) {
  return [field, value](Options& o, const char*) {
    o.*field = value;
    return true;
  };
}

Setter Int(int Options::*field, long lo, long hi) {
  return [field, lo, hi](Options& o, const char* v) {
    long x;
    if (!ToInt(v, lo, hi, &x)) return false;
    o.*field = int(x);
    return true;
  };
}

Setter U32(uint32_t Options::*field) {
  return [field](Options& o, const char* v) {
    long x;
    if (!ToInt(v, 1, 65535, &x)) return false;
    o.*field = uint32_t(x);
    return true;
  };
}

// A port number: lowest is 1 where 0 means nothing, 0 where it means "any free port".
Setter Port(uint16_t Options::*field, long lowest) {
  return [field, lowest](Options& o, const char* v) {
    long x;
    if (!ToInt(v, lowest, 65535, &x)) return false;
    o.*field = uint16_t(x);
    return true;
  };
}

Setter Percent(double Options::*field) {
  return [field](Options& o, const char* v) { return ToDouble(v, 0, 100, &(o.*field)); };
}

Setter Seconds(double Options::*field) {
  return [field](Options& o, const char* v) { return ToDouble(v, 0, 86400, &(o.*field)); };
}

Setter Targets(unsigned Options::*field) {
  return [field](Options& o, const char* v) { return ParseTargets(v, &(o.*field)); };
}

const std::vector<OptDef>& Defs() {
  static const std::vector<OptDef> defs = {
      // where and how long
      {"address", "A.B.C.D", "IPv4 address of the web server and of the TFTP client (required)",
       [](Options& o, const char* v) { return o.haveAddress = ParseDottedQuad(v, &o.address); }},
      {"port", "P", "TCP port of the web server (default 80)", Port(&Options::port, 1)},
      {"report", "FILE", "write the JSON report to FILE when the simulator ends", Text(&Options::report)},
      {"expect-image", "FILE", "the image the tool serves; the report compares SHA-256 with it",
       Text(&Options::expectImage)},
      {"max-seconds", "S", "end after S seconds in any case (default 0: no limit)", Seconds(&Options::maxSeconds)},
      {"exit-after-verify", nullptr, "end once the status read after the restart is served (default)",
       Flag(&Options::exitAfterVerify, true)},
      {"no-exit-after-verify", nullptr, "keep serving after the status read after the restart",
       Flag(&Options::exitAfterVerify, false)},
      {"restart-seconds", "S",
       "how long the web server stays silent after the transfer (default 45; the tool reads again "
       "about 50 s after the transfer)",
       Seconds(&Options::restartSeconds)},
      {"restart-refuse", nullptr, "during the restart refuse connections instead of closing them unanswered",
       Flag(&Options::restartRefuse, true)},
      {"seed", "N", "seed of the fault and nonce generator (default: from the clock; the report gives it)",
       [](Options& o, const char* v) {
         errno = 0;
         char* end = nullptr;
         unsigned long long x = std::strtoull(v, &end, 10);
         if (errno != 0 || end == v || *end != '\0') return false;
         o.seed = x;
         o.haveSeed = true;
         return true;
       }},
      {"http-timeout-ms", "MS", "close a connection whose request head has not arrived after MS (default 10000)",
       Int(&Options::httpTimeoutMs, 1, 3600000)},
      {"answer-delay-ms", "MS", "wait MS after a request has arrived before answering it (default 0)",
       Int(&Options::answerDelayMs, 0, 600000)},
      {"verbose", nullptr, "log every event to standard error", Flag(&Options::verbose, true)},

      // status page
      {"product-name", "TEXT", "value of \"Product Name:\"", Text(&Options::productName)},
      {"mac", "TEXT", "value of \"MAC Address:\"", Text(&Options::mac)},
      {"version-before", "TEXT", "\"Software Version:\" before the upgrade (default 1.0.0)",
       Text(&Options::versionBefore)},
      {"version-after", "TEXT",
       "\"Software Version:\" after a good upgrade (default: the version text in the header of "
       "--expect-image, else 2.0.0)",
       Text(&Options::versionAfter)},
      {"hardware-version", "TEXT", "value of \"Hardware Version:\"", Text(&Options::hardwareVersion)},
      {"serial", "TEXT", "value of \"Serial Number:\"", Text(&Options::serial)},

      // digest authentication
      {"user", "NAME", "demand digest authentication for this user (with --password)",
       [](Options& o, const char* v) {
         o.user = v;
         o.auth = true;
         return true;
       }},
      {"password", "TEXT", "the password of --user",
       [](Options& o, const char* v) {
         o.password = v;
         o.havePassword = true;
         return true;
       }},
      {"realm", "TEXT", "realm of the challenge (default ZEM)", Text(&Options::realm)},
      {"qop", "LIST", "none, auth, auth-int or a list such as auth,auth-int, sent as given (default none)",
       [](Options& o, const char* v) {
         std::string s = v;
         if (s == "none") {
           o.qop.clear();
           return true;
         }
         size_t pos = 0;
         while (pos <= s.size()) {
           size_t e = s.find(',', pos);
           if (e == std::string::npos) e = s.size();
           std::string w = s.substr(pos, e - pos);
           if (!EqualsNoCase(w, "auth") && !EqualsNoCase(w, "auth-int")) return false;
           pos = e + 1;
         }
         o.qop = s;
         return true;
       }},
      {"algorithm", "A",
       "MD5 or md5-sess (sent quoted, letter case as given), absent, or unquoted (algorithm=MD5 "
       "bare) (default MD5)",
       [](Options& o, const char* v) {
         std::string s = v;
         if (!EqualsNoCase(s, "MD5") && !EqualsNoCase(s, "md5-sess") && s != "absent" && s != "unquoted") return false;
         o.algorithm = s;
         return true;
       }},
      {"opaque", "TEXT", "opaque value of the challenge (default none)", Text(&Options::opaque)},
      {"nonce-policy", "P",
       "fixed (one nonce), every (an accepted request uses up its nonce), restart (new nonce after "
       "the restart) or stale-once (the first authorised request gets a new nonce) (default fixed)",
       [](Options& o, const char* v) {
         std::string s = v;
         if (s == "fixed")
           o.noncePolicy = NoncePolicy::Fixed;
         else if (s == "every")
           o.noncePolicy = NoncePolicy::Every;
         else if (s == "restart")
           o.noncePolicy = NoncePolicy::Restart;
         else if (s == "stale-once")
           o.noncePolicy = NoncePolicy::StaleOnce;
         else
           return false;
         return true;
       }},
      {"nonce", "TEXT", "the first nonce (default: random)",
       [](Options& o, const char* v) {
         o.nonce = v;
         return !o.nonce.empty() && o.nonce.find('"') == std::string::npos;
       }},
      {"lenient-auth-format", nullptr,
       "do not insist on the exact parameter order, quoting and blanks of the Authorization line",
       Flag(&Options::lenientAuthFormat, true)},

      // tftp client
      {"ack-timeout-ms", "MS", "send the last ACK again after MS without news (default 1000)",
       Int(&Options::ackTimeoutMs, 1, 600000)},
      {"ack-retries", "N", "give the transfer up after N such repetitions (default 5)",
       Int(&Options::ackRetries, 0, 1000)},
      {"tftp-port", "P", "UDP port of the TFTP client (default 0: any free port)", Port(&Options::tftpPort, 0)},
      {"rrq-delay-ms", "MS", "wait MS after the upgrade answer before the read request (default 0)",
       Int(&Options::rrqDelayMs, 0, 600000)},

      // faults
      {"drop-ack", "PCT", "drop PCT percent of the ACKs it sends", Percent(&Options::dropAck)},
      {"dup-ack", "PCT", "send PCT percent of its ACKs twice", Percent(&Options::dupAck)},
      {"delay-ack", "PCT", "hold PCT percent of its ACKs back for --delay-ms", Percent(&Options::delayAck)},
      {"reorder-ack", "PCT", "send a copy of PCT percent of its ACKs again after the next ACK",
       Percent(&Options::reorderAck)},
      {"drop-data", "PCT", "ignore PCT percent of the datagrams it receives from the server",
       Percent(&Options::dropData)},
      {"dup-data", "PCT", "handle PCT percent of the received datagrams twice", Percent(&Options::dupData)},
      {"delay-data", "PCT", "handle PCT percent of the received datagrams only after --delay-ms",
       Percent(&Options::delayData)},
      {"reorder-data", "PCT", "handle PCT percent of the received datagrams after the next one",
       Percent(&Options::reorderData)},
      {"delay-ms", "MS", "the delay of --delay-ack, --delay-data and --reorder-data (default 150)",
       Int(&Options::delayMs, 0, 600000)},
      {"stray", "N",
       "answer each of the first N DATA blocks with an ACK from another port of its own, and only "
       "the repeated block with the real ACK",
       Int(&Options::stray, 0, 65535)},
      {"error-at", "N", "answer DATA block N with an ERROR packet instead of its first ACK", U32(&Options::errorAt)},
      {"error-fatal", nullptr, "with --error-at: give the transfer up after the ERROR packet",
       Flag(&Options::errorFatal, true)},
      {"wrong-name-first", nullptr, "send a read request for a wrong name first, then the right one",
       Flag(&Options::wrongNameFirst, true)},
      {"no-rrq", nullptr, "never send a read request", Flag(&Options::noRrq, true)},
      {"stop-at", "N", "stop acknowledging at DATA block N", U32(&Options::stopAt)},
      {"hold-upgrade-answer", nullptr,
       "keep the upgrade command's connection open during the transfer and answer it afterwards",
       Flag(&Options::holdUpgradeAnswer, true)},
      {"close-without-answer", "WHAT", "close these connections without answering (WHAT below)",
       Targets(&Options::closeWithoutAnswer)},
      {"never-close", "WHAT", "answer these requests but never close the connection", Targets(&Options::neverClose)},
      {"big-page", "WHAT", "pad these pages to 200,000 bytes", Targets(&Options::bigPage)},
      {"no-labels", "WHAT", "serve these pages without the five labels", Targets(&Options::noLabels)},
      {"http10", "WHAT", "answer these requests with an HTTP/1.0 status line", Targets(&Options::http10)},
      {"help", nullptr, "show this text", nullptr},
  };
  return defs;
}

}  // namespace

std::vector<std::string> OptionNames() {
  std::vector<std::string> names;
  for (const OptDef& s : Defs()) names.push_back(s.name);
  return names;
}

std::string HelpText() {
  std::string t =
      "Usage: zem-sim --address A.B.C.D [options]\n"
      "A simulated ZEM telephone adapter: a web server with the status page\n"
      "/admin/advanced and the command /admin/upgrade?tftp://A.B.C.D:P/NAME, and a\n"
      "TFTP client that fetches NAME from that server, then restarts.\n\nOptions:\n";
  for (const OptDef& s : Defs()) {
    std::string left = std::string("  --") + s.name + (s.arg ? std::string(" ") + s.arg : "");
    if (left.size() < 30)
      left.resize(30, ' ');
    else
      left += "\n" + std::string(30, ' ');
    t += left + s.help + "\n";
  }
  t += "\nWHAT is a comma list of: status (status reads before the upgrade), upgrade\n"
       "(the upgrade command), verify (status reads after the restart), all.\n"
       "close-without-answer and never-close act on every answer of the target, a\n"
       "401 included; big-page, no-labels and http10 act on its 200 pages.\n"
       "\nExit status:\n"
       "  0  the image arrived whole (short final block, size equal to tsize) and\n"
       "     matches --expect-image when given\n"
       "  1  a transfer was tried, but the image is missing, short or different\n"
       "  2  no transfer was tried (no upgrade command, or --no-rrq)\n"
       "  3  bad options or a start-up failure\n"
       "  4  the image is intact, but the server broke the TFTP rules on the way\n"
       "     (see tftp.protocol_errors in the report)\n"
       "SIGTERM and SIGINT end the simulator cleanly; the report is written.\n";
  return t;
}

ParseResult ParseOptions(int argc, char** argv, Options* o, std::string* error) {
  const std::vector<OptDef>& defs = Defs();
  std::vector<struct option> longs;
  for (size_t i = 0; i < defs.size(); ++i)
    longs.push_back({defs[i].name, defs[i].arg ? required_argument : no_argument, nullptr, int(256 + i)});
  longs.push_back({nullptr, 0, nullptr, 0});
  optind = 1;
  opterr = 0;
  while (true) {
    int c = getopt_long(argc, argv, "", longs.data(), nullptr);
    if (c == -1) break;
    if (c < 256 || size_t(c - 256) >= defs.size()) {
      *error =
          std::string("unknown option or missing value: ") + (optind > 0 && optind <= argc ? argv[optind - 1] : "?");
      return ParseResult::Error;
    }
    const OptDef& s = defs[size_t(c - 256)];
    if (!s.set) return ParseResult::Help;
    if (!s.set(*o, optarg)) {
      *error = std::string("bad value for --") + s.name + ": " + (optarg ? optarg : "");
      return ParseResult::Error;
    }
  }
  if (optind < argc) {
    *error = std::string("unexpected argument: ") + argv[optind];
    return ParseResult::Error;
  }
  if (!o->haveAddress) {
    *error = "--address is required";
    return ParseResult::Error;
  }
  if (o->auth && !o->havePassword) {
    *error = "--user needs --password";
    return ParseResult::Error;
  }
  if (!o->auth && o->havePassword) {
    *error = "--password needs --user";
    return ParseResult::Error;
  }
  if (o->realm.find('"') != std::string::npos || o->opaque.find('"') != std::string::npos) {
    *error = "realm and opaque may not contain a double quote";
    return ParseResult::Error;
  }
  return ParseResult::Ok;
}
