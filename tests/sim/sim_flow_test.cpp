// zem-sim driven as a program by peers of its own: an HTTP client that does
// its digest arithmetic here (a few lines over libcrypto's MD5, nothing
// shared with zem-sim), and a TFTP server that serves an image in lock step.
//
// Run as: unshare --net --uts zemsim_flow_tests --sim=/path/to/zem-sim
// The driver refuses to run in the host's network namespace.  Inside its own
// it brings lo up and adds 10.77.0.1 (the PC) and 10.77.0.2 (the adapter).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_sim;
const char kSimAddr[] = "10.77.0.2";
const char kPcAddr[] = "10.77.0.1";

using Bytes = std::vector<unsigned char>;

// ------------------------------------------------------------ hashing

std::string Hex(const unsigned char* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

Bytes Digest(const EVP_MD* md, const void* data, size_t n) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned len = 0;
    EVP_MD_CTX* c = EVP_MD_CTX_new();
    EVP_DigestInit_ex(c, md, nullptr);
    EVP_DigestUpdate(c, data, n);
    EVP_DigestFinal_ex(c, out.data(), &len);
    EVP_MD_CTX_free(c);
    out.resize(len);
    return out;
}

std::string Md5(const std::string& s) {
    Bytes d = Digest(EVP_md5(), s.data(), s.size());
    return Hex(d.data(), d.size());
}

std::string Sha256(const Bytes& b) {
    Bytes d = Digest(EVP_sha256(), b.data(), b.size());
    return Hex(d.data(), d.size());
}

bool IsSess(const std::string& alg) {
    std::string l;
    for (char c : alg) l += char(std::tolower(static_cast<unsigned char>(c)));
    return l == "md5-sess";
}

// RFC 2617 request digest for GET with an empty body.
std::string Response(const std::string& alg, const std::string& user, const std::string& realm,
                     const std::string& pass, const std::string& nonce, const std::string& nc,
                     const std::string& cnonce, const std::string& qop, const std::string& uri) {
    std::string a1 = user + ":" + realm + ":" + pass;
    std::string ha1 = Md5(a1);
    if (IsSess(alg)) {
        Bytes raw = Digest(EVP_md5(), a1.data(), a1.size());
        ha1 = Md5(std::string(raw.begin(), raw.end()) + ":" + nonce + ":" + cnonce);
    }
    std::string ha2 = qop == "auth-int" ? Md5("GET:" + uri + ":" + Md5("")) : Md5("GET:" + uri);
    if (qop.empty()) return Md5(ha1 + ":" + nonce + ":" + ha2);
    return Md5(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + ha2);
}

// The value of name="..." in a challenge, as the tool reads it.
std::string Quoted(const std::string& text, const std::string& name) {
    size_t p = text.find(name + "=\"");
    if (p == std::string::npos) return std::string();
    p += name.size() + 2;
    size_t e = text.find('"', p);
    return text.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

// ------------------------------------------------------------ http client

// One exchange as the tool makes it: request line, Host, optional
// Authorization, empty line; then everything until the close.
std::string Get(const std::string& path, const std::string& authLine = std::string()) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, kPcAddr, &local.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(80);
    inet_pton(AF_INET, kSimAddr, &sa.sin_addr);
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
        std::string req = "GET " + path + " HTTP/1.1\r\nHost: 192.168.1.1\r\n";
        if (!authLine.empty()) req += authLine + "\r\n";
        req += "\r\n";
        send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) out.append(buf, size_t(n));
    }
    close(fd);
    return out;
}

std::string StatusLine(const std::string& r) { return r.substr(0, r.find("\r\n")); }

// The digest client: the state a tool keeps between requests.
struct DigestClient {
    std::string user, pass;
    std::string realm, nonce, qop, algorithm, opaque, cnonce = "1a2b";
    unsigned nc = 0;
    bool havePassword = false;

    std::string Line(const std::string& uri) const {
        char ncText[16];
        std::snprintf(ncText, sizeof ncText, "%09x", nc);
        std::string resp = Response(algorithm, user, realm, pass, nonce, qop.empty() ? "" : ncText, cnonce, qop, uri);
        std::string l = "Authorization: Digest username=\"" + user + "\",realm=\"" + realm + "\",nonce=\"" + nonce +
                        "\",uri=\"" + uri + "\",algorithm=\"" + algorithm + "\",response=\"" + resp + "\"";
        if (!opaque.empty()) l += ",opaque=\"" + opaque + "\"";
        if (!qop.empty()) l += ",qop=" + qop + ",nc=" + ncText + ",cnonce=\"" + cnonce + "\"";
        return l;
    }
    // Reads a 401's challenge; true when it brought a new nonce.
    bool Take(const std::string& r) {
        size_t w = r.find("WWW-Authenticate:");
        if (w == std::string::npos) return false;
        std::string c = r.substr(w);
        realm = Quoted(c, "realm");
        std::string n = Quoted(c, "nonce");
        algorithm = Quoted(c, "algorithm");
        qop = Quoted(c, "qop");
        opaque = Quoted(c, "opaque");
        bool fresh = n != nonce;
        if (fresh) nc = 0;
        nonce = n;
        return fresh;
    }
    std::string Request(const std::string& path) {
        std::string line;
        if (havePassword) {
            ++nc;
            line = Line(path);
        }
        std::string r = Get(path, line);
        if (r.compare(0, 12, "HTTP/1.1 401") == 0) Take(r);
        return r;
    }
    // Status read or command the way the tool's runner does it: ask for
    // credentials on the first challenge, one silent retry on a new nonce.
    std::string Run(const std::string& path) {
        std::string r = Request(path);
        bool silentUsed = false;
        for (int i = 0; i < 4 && r.compare(0, 12, "HTTP/1.1 401") == 0; ++i) {
            if (havePassword && nc == 0 && !silentUsed) {
                silentUsed = true;
            } else {
                havePassword = true;
                silentUsed = false;
            }
            r = Request(path);
        }
        return r;
    }
};

// ------------------------------------------------------------ report

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The raw value after the first "key": (a number, true/false/null or a
// quoted string without its quotes).
std::string Field(const std::string& json, const std::string& key) {
    size_t p = json.find("\"" + key + "\": ");
    if (p == std::string::npos) return "<missing>";
    p += key.size() + 4;
    if (json[p] == '"') {
        std::string v;
        for (size_t i = p + 1; i < json.size() && json[i] != '"'; ++i) {
            if (json[i] == '\\') ++i;
            v += json[i];
        }
        return v;
    }
    size_t e = json.find_first_of(",}\n", p);
    return json.substr(p, e - p);
}

size_t Count(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
    return n;
}

// ------------------------------------------------------------ the program

bool Listening(const char* addr, uint16_t port) {
    in_addr a;
    inet_pton(AF_INET, addr, &a);
    char want[32];
    std::snprintf(want, sizeof want, "%08X:%04X", a.s_addr, port);
    std::ifstream f("/proc/net/tcp");
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream is(line);
        std::string sl, local, remote, state;
        is >> sl >> local >> remote >> state;
        if (local == want && state == "0A") return true;
    }
    return false;
}

void Pause(int ms) {
    timespec ts{ms / 1000, long(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& extra, const Bytes* expected = nullptr) {
        char tmpl[] = "/tmp/zemsim-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        std::vector<std::string> args = {g_sim, "--address", kSimAddr, "--report", dir_ + "/report.json",
                                         "--max-seconds", "60", "--restart-seconds", "0.3", "--verbose"};
        if (expected != nullptr) {
            std::ofstream(dir_ + "/expect.bin", std::ios::binary)
                .write(reinterpret_cast<const char*>(expected->data()), std::streamsize(expected->size()));
            args.push_back("--expect-image");
            args.push_back(dir_ + "/expect.bin");
        }
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            int log = open((dir_ + "/sim.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(log, 1);
            dup2(log, 2);
            std::vector<char*> argv;
            for (std::string& s : args) argv.push_back(&s[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 1000 && !Listening(kSimAddr, 80) && Alive(); ++i) Pause(5);
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (!::testing::Test::HasFailure()) {
            unlink((dir_ + "/report.json").c_str());
            unlink((dir_ + "/sim.log").c_str());
            unlink((dir_ + "/expect.bin").c_str());
            rmdir(dir_.c_str());
        } else {
            std::fprintf(stderr, "zem-sim log and report kept in %s\n%s\n", dir_.c_str(), Log().c_str());
        }
    }
    bool Alive() {
        if (pid_ <= 0) return false;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
            return false;
        }
        return true;
    }
    // Waits for the end on its own (bounded by its --max-seconds).
    int Wait() {
        if (pid_ > 0) {
            int st;
            waitpid(pid_, &st, 0);
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            pid_ = -1;
        }
        return status_;
    }
    int Stop() {
        Signal(SIGTERM);
        return Wait();
    }
    void Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }
    std::string Report() const { return ReadFile(dir_ + "/report.json"); }
    std::string Log() const { return ReadFile(dir_ + "/sim.log"); }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// After the transfer: probes until the web server answers again.  Every
// probe before that must have got nothing at all, never the old page.
std::string AwaitRestart() {
    for (int i = 0; i < 600; ++i) {
        std::string r = Get("/admin/advanced");
        if (!r.empty()) return r;
        Pause(20);
    }
    return std::string();
}

std::string VersionIn(const std::string& page) {
    const std::string label = "<td>Software Version:</td><td>";
    size_t p = page.find(label);
    if (p == std::string::npos) return "<none>";
    p += label.size();
    return page.substr(p, page.find('<', p) - p);
}

// ------------------------------------------------------------ tftp server

struct ServerFaults {
    bool oackTimeout6 = false;
    long long tsizeOverride = -1;
    unsigned skipBlock = 0;      // never send this block; go on with the next
    unsigned oversizeBlock = 0;  // send this block with 513 bytes
    bool errorAtBlock2 = false;  // send ERROR instead of block 2, then stop
    bool anySource = false;      // take ACKs from any port (a faulty server)
};

struct Served {
    std::vector<std::string> rrqNames;
    Bytes rrq;
    bool completed = false;
    unsigned lastAcked = 0;
    int stray = 0;
    int errors = 0;
    int repeatedAcks = 0;
    bool answerBeforeFinal = false;
};

class TftpServer {
public:
    TftpServer() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, kPcAddr, &sa.sin_addr);
        bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
    }
    ~TftpServer() { close(fd_); }
    uint16_t Port() const { return port_; }
    std::string UpgradePath(const std::string& name) const {
        return "/admin/upgrade?tftp://" + std::string(kPcAddr) + ":" + std::to_string(port_) + name;
    }
    bool Pending() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

    // Waits for the read request for name, then serves image in lock step,
    // sending the current packet again after 100 ms without its ACK.
    Served Serve(const Bytes& image, const std::string& name, const ServerFaults& f = ServerFaults(),
                 const std::atomic<bool>* answered = nullptr, int maxResends = 30) {
        Served s;
        sockaddr_in peer{};
        unsigned char buf[2048];
        while (true) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20000) <= 0) return s;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 4 || buf[1] != 1) continue;
            std::string got(reinterpret_cast<char*>(buf) + 2, strnlen(reinterpret_cast<char*>(buf) + 2, size_t(n) - 2));
            s.rrqNames.push_back(got);
            if (got != name) continue;
            s.rrq.assign(buf, buf + n);
            peer = from;
            break;
        }
        const unsigned count = unsigned(image.size() / 512 + 1);
        unsigned blk = 0;
        auto sendCurrent = [&]() {
            Bytes pkt;
            if (blk == 0) {
                std::string size = std::to_string(f.tsizeOverride >= 0 ? (unsigned long long)f.tsizeOverride
                                                                       : (unsigned long long)image.size());
                std::string o = std::string("\0\6tsize\0", 8) + size + std::string("\0timeout\0", 9) +
                                (f.oackTimeout6 ? "6" : "5") + std::string("\0", 1);
                pkt.assign(o.begin(), o.end());
            } else {
                pkt = {0, 3, static_cast<unsigned char>(blk >> 8), static_cast<unsigned char>(blk & 255)};
                size_t from = size_t(blk - 1) * 512, to = std::min(image.size(), from + 512);
                if (from < to) pkt.insert(pkt.end(), image.begin() + long(from), image.begin() + long(to));
                if (blk == f.oversizeBlock) pkt.insert(pkt.end(), 2, 'z');
                if (f.errorAtBlock2 && blk == 2) pkt = {0, 5, 0, 0, 'n', 'o', 0};
            }
            sendto(fd_, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
        };
        sendCurrent();
        int resends = 0;
        timespec now;
        auto ms = [&now]() {
            clock_gettime(CLOCK_MONOTONIC, &now);
            return double(now.tv_sec) * 1000 + double(now.tv_nsec) / 1e6;
        };
        double deadline = ms() + 100;
        while (true) {
            int wait = int(std::max(0.0, deadline - ms()));
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, wait) > 0) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                if (n < 4) continue;
                if (from.sin_addr.s_addr != peer.sin_addr.s_addr || from.sin_port != peer.sin_port) {
                    ++s.stray;
                    if (!f.anySource) continue;
                }
                unsigned op = unsigned(buf[0] << 8 | buf[1]), b = unsigned(buf[2] << 8 | buf[3]);
                if (op == 5) ++s.errors;
                if (op != 4) continue;
                if (b != (blk & 0xffff)) {
                    ++s.repeatedAcks;
                    continue;
                }
                s.lastAcked = blk;
                if (blk == count) {
                    s.completed = true;
                    return s;
                }
                ++blk;
                if (blk == f.skipBlock) ++blk;
                if (blk == count && answered != nullptr && answered->load()) s.answerBeforeFinal = true;
                if (f.errorAtBlock2 && blk == 2) {
                    sendCurrent();
                    return s;
                }
                sendCurrent();
                resends = 0;
                deadline = ms() + 100;
                continue;
            }
            if (++resends > maxResends) return s;
            sendCurrent();
            deadline = ms() + 100;
        }
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

Bytes MakeImage(size_t size, const std::string& version = "3.4.5") {
    Bytes b(size);
    uint32_t x = 0x12345678u ^ uint32_t(size);
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<unsigned char>(x >> 16);
    }
    if (size >= 128) {
        std::memcpy(b.data(), "zem4200", 7);
        std::memset(b.data() + 92, 0, 36);
        std::memcpy(b.data() + 92, version.data(), version.size());
    }
    return b;
}

const Bytes kRrqBytes(const std::string& name) {
    std::string s = std::string("\0\1", 2) + name + std::string("\0octet\0tsize\0" "0\0timeout\0" "5\0", 25);
    return Bytes(s.begin(), s.end());
}

// ============================================================ web server

TEST(SimWeb, StatusPageCarriesTheFiveLabelsInTableCells) {
    SimProcess sim({"--product-name", "ZEM-4600", "--mac", "00:0A:DD:01:02:03", "--version-before", "1.2.3",
                    "--hardware-version", "HW7", "--serial", "SN42"});
    std::string r = Get("/admin/advanced");
    EXPECT_EQ(StatusLine(r), "HTTP/1.1 200 OK");
    const char* rows[][2] = {{"Product Name:", "ZEM-4600"}, {"MAC Address:", "00:0A:DD:01:02:03"},
                             {"Software Version:", "1.2.3"}, {"Hardware Version:", "HW7"},
                             {"Serial Number:", "SN42"}};
    for (auto& row : rows)
        EXPECT_NE(r.find(std::string("<tr><td>") + row[0] + "</td><td>" + row[1] + "</td></tr>"), std::string::npos)
            << row[0];
    EXPECT_EQ(StatusLine(Get("/other")), "HTTP/1.1 404 Not Found");
    EXPECT_EQ(sim.Stop(), 2);  // no transfer
    std::string rep = sim.Report();
    EXPECT_EQ(Field(rep, "verdict"), "no-transfer");
    EXPECT_EQ(Field(rep, "end_reason"), "SIGTERM");
    EXPECT_EQ(Field(rep, "host"), "192.168.1.1");
    EXPECT_EQ(Field(rep, "format_problem"), "null");
}

TEST(SimWeb, PageFaults) {
    const std::vector<std::string> labels = {"Product Name:", "MAC Address:", "Software Version:",
                                             "Hardware Version:", "Serial Number:"};
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* status;  // nullptr: no answer at all
        bool labels;
        size_t minSize;
    };
    const Case cases[] = {
        {"plain", {}, "HTTP/1.1 200 OK", true, 0},
        {"HTTP/1.0", {"--http10", "status"}, "HTTP/1.0 200 OK", true, 0},
        {"200,000-byte page", {"--big-page", "status"}, "HTTP/1.1 200 OK", true, 200000},
        {"no labels", {"--no-labels", "status"}, "HTTP/1.1 200 OK", false, 0},
        {"no answer", {"--close-without-answer", "status"}, nullptr, false, 0},
        {"fault only after the restart", {"--close-without-answer", "verify", "--http10", "upgrade"},
         "HTTP/1.1 200 OK", true, 0},
    };
    for (const Case& c : cases) {
        SimProcess sim(c.args);
        std::string r = Get("/admin/advanced");
        if (c.status == nullptr) {
            EXPECT_EQ(r, "") << c.what;
        } else {
            EXPECT_EQ(StatusLine(r), c.status) << c.what;
        }
        for (const std::string& l : labels)
            EXPECT_EQ(r.substr(0, 131071).find(l) != std::string::npos, c.labels) << c.what << " " << l;
        size_t body = r.find("\r\n\r\n");
        if (c.minSize > 0) {
            ASSERT_NE(body, std::string::npos);
            EXPECT_GE(r.size() - body - 4, c.minSize) << c.what;
        }
        sim.Stop();
        EXPECT_EQ(Field(sim.Report(), "answer"), c.status ? "answered" : "closed-without-answer") << c.what;
    }
}

TEST(SimWeb, NeverCloseKeepsTheConnectionAfterTheAnswer) {
    SimProcess sim({"--never-close", "status"});
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(80);
    inet_pton(AF_INET, kSimAddr, &sa.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    std::string req = "GET /admin/advanced HTTP/1.1\r\nHost: 192.168.1.1\r\n\r\n";
    send(fd, req.data(), req.size(), 0);
    std::string got;
    char buf[4096];
    size_t want = std::string::npos;
    while (want == std::string::npos || got.size() < want) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        ASSERT_GT(n, 0) << "closed before the whole answer";
        got.append(buf, size_t(n));
        size_t h = got.find("\r\n\r\n");
        size_t cl = got.find("Content-Length: ");
        if (h != std::string::npos && cl != std::string::npos)
            want = h + 4 + std::stoul(got.substr(cl + 16));
    }
    // The simulator handles one event after the other: once a later
    // request has been answered and closed, it would have closed this one.
    std::string second = Get("/other");
    EXPECT_EQ(StatusLine(second), "HTTP/1.1 404 Not Found");
    fcntl(fd, F_SETFL, O_NONBLOCK);
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(errno, EAGAIN);
    sim.Stop();
    // The end of the simulator closes it.
    fcntl(fd, F_SETFL, 0);
    EXPECT_EQ(recv(fd, buf, sizeof buf, 0), 0);
    close(fd);
    EXPECT_EQ(Field(sim.Report(), "answer"), "never-closed");
}

// ============================================================ digest

struct ChallengeCase {
    const char* what;
    std::vector<std::string> args;
    const char* algorithmSent;  // what the tool sends back
};

const ChallengeCase kChallenges[] = {
    {"no qop", {}, "MD5"},
    {"qop auth", {"--qop", "auth"}, "MD5"},
    {"qop auth-int", {"--qop", "auth-int"}, "MD5"},
    {"qop list", {"--qop", "auth,auth-int"}, "MD5"},
    {"md5-sess and opaque", {"--qop", "auth", "--algorithm", "md5-sess", "--opaque", "5ccc069c403ebaf9f0171e9517f40e41"},
     "md5-sess"},
    {"algorithm unquoted", {"--qop", "auth", "--algorithm", "unquoted"}, ""},
    {"algorithm absent", {"--algorithm", "absent"}, ""},
};

// The self-check of this file's own arithmetic against values computed with
// the shell's openssl (see tests/sim/sim_core_test.cpp for the commands).
TEST(SimDigestFlow, TestArithmeticMatchesTheShell) {
    EXPECT_EQ(Response("MD5", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b", "auth", "/admin/advanced"),
              "b1ce3069a16f46b650548fe7f99fec28");
    EXPECT_EQ(Response("md5-sess", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b", "auth",
                       "/admin/advanced"),
              "5664d8fa82ff80f6328a1715a04aeba2");
    EXPECT_EQ(Response("MD5", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b", "auth-int",
                       "/admin/advanced"),
              "0f3f5d18bebad30b77b7dffe6a8e0afe");
}

// The test of record: a line computed here is accepted, and the same line
// with one character of the response, the nc or the uri changed is refused
// with a challenge that keeps the nonce.
TEST(SimDigestFlow, AcceptsAnIndependentLineAndRefusesOneCharacterChanged) {
    struct Mutation {
        const char* what;
        std::string from, to;
        bool needsQop;
    };
    for (const ChallengeCase& ch : kChallenges) {
        const Mutation mutations[] = {
            {"unchanged", "", "", false},
            {"response", "response=\"", "", false},
            {"nc", "nc=000000001", "nc=000000002", true},
            {"uri", "uri=\"/admin/advanced\"", "uri=\"/admin/advancee\"", false},
        };
        for (const Mutation& m : mutations) {
            std::vector<std::string> args = {"--user", "admin", "--password", "secret", "--realm", "ZEM Adapter",
                                             "--nonce", "4f2a9c11e0d7"};
            args.insert(args.end(), ch.args.begin(), ch.args.end());
            SimProcess sim(args);
            std::string first = Get("/admin/advanced");
            ASSERT_EQ(StatusLine(first), "HTTP/1.1 401 Unauthorized") << ch.what;
            DigestClient c;
            c.user = "admin";
            c.pass = "secret";
            c.Take(first);
            EXPECT_EQ(c.nonce, "4f2a9c11e0d7");
            EXPECT_EQ(c.algorithm, ch.algorithmSent) << ch.what;
            if (m.needsQop && c.qop.empty()) continue;
            c.nc = 1;
            std::string line = c.Line("/admin/advanced");
            if (m.what == std::string("response")) {
                size_t p = line.find("response=\"") + 10;
                line[p] = line[p] == '0' ? '1' : '0';
            } else if (!m.from.empty()) {
                size_t p = line.find(m.from);
                ASSERT_NE(p, std::string::npos) << line;
                line.replace(p, m.from.size(), m.to);
            }
            std::string r = Get("/admin/advanced", line);
            bool good = m.what == std::string("unchanged");
            EXPECT_EQ(StatusLine(r), good ? "HTTP/1.1 200 OK" : "HTTP/1.1 401 Unauthorized")
                << ch.what << ", " << m.what << ": " << line;
            if (good) {
                EXPECT_NE(r.find("Software Version:"), std::string::npos);
            } else {
                EXPECT_EQ(Quoted(r, "nonce"), "4f2a9c11e0d7") << ch.what << ", " << m.what;
            }
            sim.Stop();
            std::string rep = sim.Report();
            EXPECT_EQ(Count(rep, "\"verdict\": \"accepted\""), good ? 1u : 0u) << ch.what << ", " << m.what;
            EXPECT_EQ(Count(rep, "\"verdict\": \"challenge\""), 1u);
        }
    }
}

TEST(SimDigestFlow, NonceCountRisesByOneForEveryRequestUnderANonce) {
    SimProcess sim({"--user", "admin", "--password", "secret", "--qop", "auth", "--nonce", "n0"});
    DigestClient c;
    c.user = "admin";
    c.pass = "secret";
    c.Take(Get("/admin/advanced"));
    struct Step {
        unsigned nc;
        const char* status;
    };
    // Each request counts, refused ones included: nc 1 again is refused and
    // takes the place of 2, so the next good one is 3.
    const Step steps[] = {{1, "HTTP/1.1 200 OK"}, {1, "HTTP/1.1 401 Unauthorized"}, {3, "HTTP/1.1 200 OK"},
                          {5, "HTTP/1.1 401 Unauthorized"}, {5, "HTTP/1.1 200 OK"}};
    for (const Step& s : steps) {
        c.nc = s.nc;
        EXPECT_EQ(StatusLine(Get("/admin/advanced", c.Line("/admin/advanced"))), s.status) << "nc " << s.nc;
    }
    sim.Stop();
    EXPECT_EQ(Count(sim.Report(), "\"verdict\": \"bad-nc\""), 2u);
}

TEST(SimDigestFlow, WrongPasswordKeepsTheNonce) {
    SimProcess sim({"--user", "admin", "--password", "secret", "--qop", "auth", "--nonce", "n0"});
    DigestClient c;
    c.user = "admin";
    c.pass = "wrong";
    c.havePassword = true;
    c.Take(Get("/admin/advanced"));
    std::string r = c.Request("/admin/advanced");
    EXPECT_EQ(StatusLine(r), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(Quoted(r, "nonce"), "n0");
    c.pass = "secret";
    r = c.Request("/admin/advanced");
    EXPECT_EQ(StatusLine(r), "HTTP/1.1 200 OK");
    sim.Stop();
    EXPECT_EQ(Count(sim.Report(), "\"verdict\": \"bad-response\""), 1u);
}

TEST(SimDigestFlow, NoncePolicies) {
    struct Step {
        const char* status;
        bool nonceChanges;  // the 401 brings a nonce other than the one used
    };
    struct Case {
        const char* policy;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"fixed", {{"HTTP/1.1 200 OK", false}, {"HTTP/1.1 200 OK", false}}},
        // An accepted request uses its nonce up.
        {"every",
         {{"HTTP/1.1 200 OK", false}, {"HTTP/1.1 401 Unauthorized", true}, {"HTTP/1.1 200 OK", false},
          {"HTTP/1.1 401 Unauthorized", true}}},
        {"stale-once", {{"HTTP/1.1 401 Unauthorized", true}, {"HTTP/1.1 200 OK", false}, {"HTTP/1.1 200 OK", false}}},
    };
    for (const Case& cs : cases) {
        SimProcess sim({"--user", "admin", "--password", "secret", "--qop", "auth", "--nonce-policy", cs.policy});
        DigestClient c;
        c.user = "admin";
        c.pass = "secret";
        c.havePassword = true;
        c.Take(Get("/admin/advanced"));
        for (size_t i = 0; i < cs.steps.size(); ++i) {
            std::string used = c.nonce;
            std::string r = c.Request("/admin/advanced");
            EXPECT_EQ(StatusLine(r), cs.steps[i].status) << cs.policy << " step " << i;
            if (StatusLine(r) == "HTTP/1.1 401 Unauthorized") {
                EXPECT_EQ(c.nonce != used, cs.steps[i].nonceChanges) << cs.policy << " step " << i;
                EXPECT_EQ(c.nc, 0u);
            }
        }
        sim.Stop();
    }
}

// ============================================================ transfer

// Status read, upgrade command, transfer, restart, status read again: the
// simulator ends by itself after that last read.
TEST(SimTransfer, ImagesOfEverySizeArriveWhole) {
    const size_t sizes[] = {0, 1, 511, 512, 1000, 1024, 5000, 70000};
    for (size_t size : sizes) {
        Bytes image = MakeImage(size);
        SimProcess sim({}, &image);
        TftpServer server;
        EXPECT_NE(VersionIn(Get("/admin/advanced")), "3.4.5");
        std::string name = "/zem1f.bin";
        std::string up = Get(server.UpgradePath(name));
        EXPECT_EQ(StatusLine(up), "HTTP/1.1 200 OK");
        Served s = server.Serve(image, name);
        EXPECT_EQ(s.rrq, kRrqBytes(name)) << size;
        EXPECT_TRUE(s.completed) << size;
        EXPECT_EQ(s.stray, 0);
        std::string after = AwaitRestart();
        EXPECT_EQ(VersionIn(after), size >= 128 ? "3.4.5" : "2.0.0") << size;
        EXPECT_EQ(sim.Wait(), 0) << size;
        std::string rep = sim.Report();
        EXPECT_EQ(Field(rep, "verdict"), "intact");
        EXPECT_EQ(Field(rep, "end_reason"), "verified");
        EXPECT_EQ(Field(rep, "bytes_received"), std::to_string(size));
        EXPECT_EQ(Field(rep, "tsize"), std::to_string(size));
        EXPECT_EQ(Field(rep, "sha256"), Sha256(image));
        EXPECT_EQ(Field(rep, "expected_sha256"), Sha256(image));
        EXPECT_EQ(Field(rep, "file"), name);
        EXPECT_EQ(Field(rep, "blocks_accepted"), std::to_string(size / 512 + 1));
        EXPECT_EQ(Field(rep, "protocol_errors"), "[]");
        EXPECT_EQ(Field(rep, "verify_served"), "true");
    }
}

// The simulator's own faults: a correct server still gets the image across.
TEST(SimTransfer, FaultsOfTheAdapterSideStillDeliverTheImage) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        const char* counter;  // a report counter that must not be 0
    };
    const Case cases[] = {
        {"drop ACKs", {"--drop-ack", "30"}, "acks_dropped"},
        {"duplicate ACKs", {"--dup-ack", "40"}, "acks_duplicated"},
        {"delay ACKs", {"--delay-ack", "20"}, "acks_delayed"},
        {"reorder ACKs", {"--reorder-ack", "30"}, "acks_reordered"},
        {"drop DATA", {"--drop-data", "30"}, "data_dropped"},
        {"duplicate DATA", {"--dup-data", "40"}, "retransmissions_seen"},
        {"delay DATA", {"--delay-data", "20"}, "data_delayed"},
        {"reorder DATA", {"--reorder-data", "30"}, "data_reordered"},
        {"all at once, 10 percent", {"--drop-ack", "10", "--dup-ack", "10", "--reorder-data", "10", "--drop-data", "10"},
         "acks_sent"},
        {"stray datagrams", {"--stray", "3"}, "stray_sent"},
        {"ERROR packet in the middle", {"--error-at", "4"}, "errors_sent"},
        {"wrong name first", {"--wrong-name-first"}, "rrq_sent"},
    };
    Bytes image = MakeImage(20 * 512 + 77);
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--seed", "7", "--ack-timeout-ms", "300"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SimProcess sim(args, &image);
        TftpServer server;
        Get(server.UpgradePath("/zem2a.bin"));
        Served s = server.Serve(image, "/zem2a.bin");
        EXPECT_TRUE(s.completed) << c.what;
        EXPECT_EQ(sim.Stop(), 0) << c.what;
        std::string rep = sim.Report();
        EXPECT_EQ(Field(rep, "matches_expected"), "true") << c.what;
        EXPECT_NE(Field(rep, c.counter), "0") << c.what;
        EXPECT_EQ(Field(rep, "protocol_errors"), "[]") << c.what;
        if (c.args[0] == "--stray") {
            EXPECT_EQ(s.stray, 3);
        }
        if (c.args[0] == "--error-at") {
            EXPECT_EQ(s.errors, 1);
        }
        if (c.args[0] == "--wrong-name-first") {
            ASSERT_EQ(s.rrqNames.size(), 2u);
            EXPECT_EQ(s.rrqNames[0], "/ZEM2A.BIN");
            EXPECT_EQ(Field(rep, "wrong_name_answered"), "false");
        }
        if (c.args[0] == "--dup-ack") {
            EXPECT_GT(s.repeatedAcks, 0);
        }
    }
}

TEST(SimTransfer, StopAtBlockLeavesTheOldVersion) {
    Bytes image = MakeImage(10 * 512);
    SimProcess sim({"--stop-at", "3", "--ack-timeout-ms", "200", "--ack-retries", "2"}, &image);
    TftpServer server;
    Get(server.UpgradePath("/zem3.bin"));
    Served s = server.Serve(image, "/zem3.bin", ServerFaults(), nullptr, 10);
    EXPECT_FALSE(s.completed);
    EXPECT_EQ(s.lastAcked, 2u);
    std::string after = AwaitRestart();
    EXPECT_EQ(VersionIn(after), "1.0.0");
    EXPECT_EQ(sim.Wait(), 1);
    std::string rep = sim.Report();
    EXPECT_EQ(Field(rep, "verdict"), "incomplete");
    EXPECT_EQ(Field(rep, "bytes_received"), "1024");
    EXPECT_NE(Field(rep, "retransmissions_seen"), "0");
    EXPECT_EQ(Field(rep, "version_after"), "1.0.0");
}

TEST(SimTransfer, ADifferentImageLeavesTheOldVersion) {
    Bytes expected = MakeImage(3000, "9.9.9");
    Bytes served = expected;
    served[2000] ^= 1;
    SimProcess sim({}, &expected);
    TftpServer server;
    Get(server.UpgradePath("/zem4.bin"));
    EXPECT_TRUE(server.Serve(served, "/zem4.bin").completed);
    EXPECT_EQ(VersionIn(AwaitRestart()), "1.0.0");
    EXPECT_EQ(sim.Wait(), 1);
    std::string rep = sim.Report();
    EXPECT_EQ(Field(rep, "verdict"), "different-image");
    EXPECT_EQ(Field(rep, "sha256"), Sha256(served));
    EXPECT_EQ(Field(rep, "expected_sha256"), Sha256(expected));
}

// Faults of the server side are caught and reported.
TEST(SimTransfer, ServerFaultsAreCaught) {
    struct Case {
        const char* what;
        ServerFaults faults;
        std::vector<std::string> args;
        int status;
        const char* errorText;  // in protocol_errors
    };
    ServerFaults oack6, tsize, skip, oversize, error, anySource;
    oack6.oackTimeout6 = true;
    tsize.tsizeOverride = 5000;
    skip.skipBlock = 2;
    oversize.oversizeBlock = 3;
    error.errorAtBlock2 = true;
    anySource.anySource = true;
    const Case cases[] = {
        {"OACK with timeout 6", oack6, {}, 1, "timeout is \\\"6\\\""},
        {"tsize other than the size", tsize, {}, 1, "tsize was 5000"},
        {"a block skipped", skip, {}, 1, "DATA block 3, expected 2"},
        {"a block of 514 bytes", oversize, {}, 1, "carries 514 bytes"},
        {"ERROR from the server", error, {}, 1, "ERROR packet from the server"},
        {"ACKs taken from any port", anySource, {"--stray", "2"}, 1, "expected"},
    };
    Bytes image = MakeImage(8 * 512 + 5);
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--ack-timeout-ms", "150", "--ack-retries", "2"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SimProcess sim(args, &image);
        TftpServer server;
        Get(server.UpgradePath("/zem5.bin"));
        server.Serve(image, "/zem5.bin", c.faults, nullptr, 8);
        // It gives the transfer up on its own, restarts and serves the old
        // version once.
        EXPECT_EQ(VersionIn(AwaitRestart()), "1.0.0") << c.what;
        EXPECT_EQ(sim.Wait(), c.status) << c.what;
        std::string rep = sim.Report();
        EXPECT_NE(rep.find(c.errorText), std::string::npos) << c.what << "\n" << rep;
    }
}

TEST(SimTransfer, HeldUpgradeAnswerComesAfterTheTransfer) {
    Bytes image = MakeImage(6 * 512 + 100);
    SimProcess sim({"--hold-upgrade-answer"}, &image);
    TftpServer server;
    std::atomic<bool> answered{false};
    std::string answer;
    std::thread command([&]() {
        answer = Get(server.UpgradePath("/zem6.bin"));
        answered = true;
    });
    Served s = server.Serve(image, "/zem6.bin", ServerFaults(), &answered);
    command.join();
    EXPECT_TRUE(s.completed);
    EXPECT_FALSE(s.answerBeforeFinal);
    EXPECT_EQ(StatusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_EQ(VersionIn(AwaitRestart()), "3.4.5");
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_EQ(Field(sim.Report(), "answer"), "sent-after-transfer");
}

TEST(SimTransfer, NoReadRequest) {
    SimProcess sim({"--no-rrq"});
    TftpServer server;
    EXPECT_EQ(StatusLine(Get(server.UpgradePath("/zem7.bin"))), "HTTP/1.1 200 OK");
    EXPECT_EQ(sim.Stop(), 2);
    std::string rep = sim.Report();
    EXPECT_EQ(Field(rep, "outcome"), "no-rrq");
    EXPECT_EQ(Field(rep, "rrq_sent"), "0");
    EXPECT_FALSE(server.Pending());
}

// Inside the restart the web server either closes every connection
// unanswered or refuses it; the restart begins before the final ACK leaves.
TEST(SimTransfer, SilentDuringTheRestart) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool refused;
        const char* silent;
    };
    const Case cases[] = {
        {"closes unanswered", {}, false, "1"},
        {"refuses", {"--restart-refuse"}, true, "0"},
    };
    Bytes image = MakeImage(700);
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--restart-seconds", "300"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SimProcess sim(args, &image);
        TftpServer server;
        Get(server.UpgradePath("/zem8.bin"));
        ASSERT_TRUE(server.Serve(image, "/zem8.bin").completed);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(80);
        inet_pton(AF_INET, kSimAddr, &sa.sin_addr);
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        EXPECT_EQ(rc != 0 && errno == ECONNREFUSED, c.refused) << c.what;
        if (rc == 0) {
            char buf[256];
            EXPECT_LE(recv(fd, buf, sizeof buf, 0), 0) << c.what;  // nothing but the close
        }
        close(fd);
        EXPECT_EQ(sim.Stop(), 0) << c.what;
        EXPECT_EQ(Field(sim.Report(), "silent_connections"), c.silent) << c.what;
        EXPECT_EQ(Field(sim.Report(), "verify_served"), "false") << c.what;
    }
}

TEST(SimTransfer, EndsCleanlyOnSignalsAndTheTimeLimit) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int signal;  // 0: wait for --max-seconds
        const char* reason;
    };
    const Case cases[] = {
        {"SIGTERM", {}, SIGTERM, "SIGTERM"},
        {"SIGINT", {}, SIGINT, "SIGINT"},
        {"time limit", {"--max-seconds", "0.2"}, 0, "max-seconds"},
    };
    for (const Case& c : cases) {
        SimProcess sim(c.args);
        EXPECT_EQ(StatusLine(Get("/admin/advanced")), "HTTP/1.1 200 OK");
        int status = c.signal ? (sim.Signal(c.signal), sim.Wait()) : sim.Wait();
        EXPECT_EQ(status, 2) << c.what;
        std::string rep = sim.Report();
        EXPECT_EQ(Field(rep, "end_reason"), c.reason) << c.what;
        EXPECT_EQ(Field(rep, "path"), "/admin/advanced") << c.what;
    }
}

// The whole upgrade behind digest authentication, with a new nonce after
// the restart: the status read after it is refused once as stale and the
// retry with the new nonce is served.
TEST(SimTransfer, AuthenticatedUpgradeWithNewNonceAfterRestart) {
    Bytes image = MakeImage(2500, "5.0.1");
    SimProcess sim({"--user", "admin", "--password", "s3cret", "--qop", "auth", "--algorithm", "md5-sess",
                    "--opaque", "xyz", "--nonce-policy", "restart"},
                   &image);
    TftpServer server;
    DigestClient c;
    c.user = "admin";
    c.pass = "s3cret";
    std::string status = c.Run("/admin/advanced");
    EXPECT_EQ(VersionIn(status), "1.0.0");
    std::string path = server.UpgradePath("/zem7fff.bin");
    EXPECT_EQ(StatusLine(c.Run(path)), "HTTP/1.1 200 OK");
    EXPECT_EQ(c.nc, 2u);
    EXPECT_TRUE(server.Serve(image, "/zem7fff.bin").completed);
    std::string probe = AwaitRestart();  // unauthenticated: a challenge
    EXPECT_EQ(StatusLine(probe), "HTTP/1.1 401 Unauthorized");
    std::string oldNonce = c.nonce;
    std::string after = c.Run("/admin/advanced");
    EXPECT_NE(c.nonce, oldNonce);
    EXPECT_EQ(c.nc, 1u);
    EXPECT_EQ(VersionIn(after), "5.0.1");
    EXPECT_EQ(sim.Wait(), 0);
    std::string rep = sim.Report();
    EXPECT_EQ(Count(rep, "\"verdict\": \"accepted\""), 3u);
    EXPECT_EQ(Count(rep, "\"verdict\": \"stale-nonce\""), 1u);
    EXPECT_NE(rep.find("\"path\": \"" + path + "\""), std::string::npos);
}

// True in a namespace of our own: nothing but lo in it, and not the
// namespace of the process that started us (unshare execs this driver).
bool InPrivateNetNamespace() {
    std::ifstream dev("/proc/net/dev");
    std::string line;
    int lines = 0;
    while (std::getline(dev, line)) {
        if (++lines <= 2) continue;  // the two heading lines
        std::string name = line.substr(0, line.find(':'));
        name.erase(0, name.find_first_not_of(' '));
        if (name != "lo") return false;
    }
    if (lines < 3) return false;
    struct stat self, parent;
    std::string pp = "/proc/" + std::to_string(getppid()) + "/ns/net";
    if (stat("/proc/self/ns/net", &self) == 0 && stat(pp.c_str(), &parent) == 0 && self.st_ino == parent.st_ino)
        return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], "--sim=", 6) == 0) g_sim = argv[i] + 6;
    if (g_sim.empty()) {
        std::fprintf(stderr, "usage: unshare --net --uts %s --sim=/path/to/zem-sim\n", argv[0]);
        return 2;
    }
    if (!InPrivateNetNamespace()) {
        std::fprintf(stderr, "%s: run me in a network namespace of my own (unshare --net --uts)\n", argv[0]);
        return 2;
    }
    if (std::system("ip link set lo up && ip addr add 10.77.0.1/24 dev lo && ip addr add 10.77.0.2/24 dev lo") != 0) {
        std::fprintf(stderr, "cannot set up the loopback addresses\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
