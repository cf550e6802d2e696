// Unit tests of zem-sim's network-free core.
//
// The expected digests below were computed outside this code base with the
// shell, e.g. for qop auth:
//   md5(){ printf '%s' "$1" | openssl dgst -md5 -r | cut -c1-32; }
//   HA1=$(md5 "admin:ZEM:secret"); HA2=$(md5 "GET:/admin/advanced")
//   md5 "$HA1:0123abcd:000000001:1a2b:auth:$HA2"
// and for md5-sess with the raw 16 bytes of the first H(A1):
//   (printf '%s' admin:ZEM:secret | openssl dgst -md5 -binary; printf ':0123abcd:1a2b') | openssl dgst -md5

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "digest_check.h"
#include "formats.h"
#include "options.h"

namespace {

struct DigestCase {
    const char* what;
    const char* algorithm;
    const char* qop;
    const char* user;
    const char* realm;
    const char* password;
    const char* nonce;
    const char* nc;
    const char* cnonce;
    const char* uri;
    const char* expected;
};

const DigestCase kDigestCases[] = {
    {"qop auth", "MD5", "auth", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b", "/admin/advanced",
     "b1ce3069a16f46b650548fe7f99fec28"},
    {"no qop", "MD5", "", "admin", "ZEM", "secret", "0123abcd", "", "", "/admin/advanced",
     "daac57a804ce7121b9e3728fefad33ba"},
    {"empty algorithm is MD5", "", "", "admin", "ZEM", "secret", "0123abcd", "", "", "/admin/advanced",
     "daac57a804ce7121b9e3728fefad33ba"},
    {"auth-int with the empty body", "MD5", "auth-int", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b",
     "/admin/advanced", "0f3f5d18bebad30b77b7dffe6a8e0afe"},
    {"AUTH-INT in other case", "MD5", "AUTH-INT", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b",
     "/admin/advanced", "7715be207e87bab2ed7c8195f69c335d"},
    {"MD5-SESS in other case", "MD5-SESS", "auth", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b",
     "/admin/advanced", "5664d8fa82ff80f6328a1715a04aeba2"},
    {"md5-sess over the raw H(A1)", "md5-sess", "auth", "admin", "ZEM", "secret", "0123abcd", "000000001", "1a2b",
     "/admin/advanced", "5664d8fa82ff80f6328a1715a04aeba2"},
    {"qop list hashed whole, plain H(A2)", "MD5", "auth,auth-int", "admin", "ZEM", "secret", "0123abcd",
     "000000001", "1a2b", "/admin/advanced", "312e5642ddb75767e0fb2db6456f7213"},
    {"RFC 2617 example", "MD5", "auth", "Mufasa", "testrealm@host.com", "Circle Of Life",
     "dcd98b7102dd2f0e8b11d0f600bfb0c093", "00000001", "0a4f113b", "/dir/index.html",
     "6629fae49393a05397450978507c4ef1"},
};

TEST(SimDigest, ResponsesMatchIndependentlyComputedValues) {
    for (const DigestCase& c : kDigestCases) {
        EXPECT_EQ(DigestResponse(c.algorithm, c.user, c.realm, c.password, c.nonce, c.nc, c.cnonce, c.qop, "GET",
                                 c.uri),
                  c.expected)
            << c.what;
    }
}

TEST(SimDigest, Md5AndSha256KnownValues) {
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    std::vector<unsigned char> abc = {'a', 'b', 'c'};
    EXPECT_EQ(Sha256Hex(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(SimDigest, ParamsKeepABareQopListWhole) {
    std::vector<AuthParam> p;
    std::string why;
    ASSERT_TRUE(ParseAuthParams("username=\"a,b\",qop=auth,auth-int,nc=000000001,cnonce=\"1\"", &p, &why)) << why;
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[0].value, "a,b");
    EXPECT_TRUE(p[0].quoted);
    EXPECT_EQ(p[1].name, "qop");
    EXPECT_EQ(p[1].value, "auth,auth-int");
    EXPECT_FALSE(p[1].quoted);
    EXPECT_EQ(p[2].value, "000000001");
    EXPECT_EQ(p[3].value, "1");
}

TEST(SimDigest, ParamsRejectBrokenLists) {
    const char* bad[] = {"", "username", "username=\"x", "=\"x\"", "a=\"1\",", "a=\"1\"b=\"2\"", "a=1,a=2"};
    for (const char* t : bad) {
        std::vector<AuthParam> p;
        std::string why;
        EXPECT_FALSE(ParseAuthParams(t, &p, &why)) << t;
    }
}

const char kGoodLine[] =
    "Digest username=\"admin\",realm=\"ZEM\",nonce=\"0123abcd\",uri=\"/admin/advanced\",algorithm=\"MD5\","
    "response=\"b1ce3069a16f46b650548fe7f99fec28\",qop=auth,nc=000000001,cnonce=\"1a2b\"";

std::string Replace(std::string s, const std::string& from, const std::string& to) {
    size_t pos = s.find(from);
    EXPECT_NE(pos, std::string::npos) << from;
    if (pos != std::string::npos) s.replace(pos, from.size(), to);
    return s;
}

DigestConfig AuthConfig() {
    DigestConfig c;
    c.user = "admin";
    c.password = "secret";
    c.realm = "ZEM";
    c.qop = "auth";
    c.algorithm = "MD5";
    return c;
}

TEST(SimDigest, CheckAuthorizationCatchesEachFault) {
    struct Case {
        const char* what;
        std::string line;
        uint32_t expectedNc;
        AuthVerdict verdict;
    };
    const std::string g = kGoodLine;
    const Case cases[] = {
        {"the good line", g, 1, AuthVerdict::Accepted},
        {"one character of the response", Replace(g, "b1ce30", "b1ce31"), 1, AuthVerdict::BadResponse},
        {"nc one higher than the hash", Replace(g, "nc=000000001", "nc=000000002"), 1, AuthVerdict::BadNc},
        {"nc not the count expected", g, 2, AuthVerdict::BadNc},
        {"eight-digit nc", Replace(g, "nc=000000001", "nc=00000001"), 1, AuthVerdict::BadNc},
        {"upper-case hex in nc", Replace(g, "nc=000000001", "nc=00000000A"), 10, AuthVerdict::BadNc},
        {"uri other than the path", Replace(g, "/admin/advanced", "/admin/advancee"), 1, AuthVerdict::BadUri},
        {"user", Replace(g, "\"admin\"", "\"admim\""), 1, AuthVerdict::BadUsername},
        {"realm", Replace(g, "\"ZEM\"", "\"ZEN\""), 1, AuthVerdict::BadRealm},
        {"old nonce", Replace(g, "0123abcd", "0123abce"), 1, AuthVerdict::StaleNonce},
        {"algorithm not offered", Replace(g, "\"MD5\"", "\"md5-sess\""), 1, AuthVerdict::BadAlgorithm},
        {"qop other than offered", Replace(g, "qop=auth,", "qop=auth-int,"), 1, AuthVerdict::BadQop},
        {"opaque not offered", Replace(g, ",qop=", ",opaque=\"x\",qop="), 1, AuthVerdict::BadOpaque},
        {"blank after a comma", Replace(g, ",realm", ", realm"), 1, AuthVerdict::Format},
        {"quoted qop", Replace(g, "qop=auth", "qop=\"auth\""), 1, AuthVerdict::Format},
        {"nc quoted", Replace(g, "nc=000000001", "nc=\"000000001\""), 1, AuthVerdict::Format},
        {"no algorithm", Replace(g, "algorithm=\"MD5\",", ""), 1, AuthVerdict::Format},
        {"no cnonce", Replace(g, ",cnonce=\"1a2b\"", ""), 1, AuthVerdict::Format},
        {"empty cnonce", Replace(g, "cnonce=\"1a2b\"", "cnonce=\"\""), 1, AuthVerdict::MissingCnonce},
        {"swapped order", Replace(Replace(g, "username=\"admin\",", ""), "realm=\"ZEM\",",
                                  "realm=\"ZEM\",username=\"admin\","),
         1, AuthVerdict::Format},
        {"not digest", "Basic YWRtaW46c2VjcmV0", 1, AuthVerdict::Malformed},
    };
    DigestConfig cfg = AuthConfig();
    for (const Case& c : cases) {
        AuthCheck r = CheckAuthorization(cfg, c.line, "0123abcd", "/admin/advanced", c.expectedNc);
        EXPECT_EQ(AuthVerdictName(r.verdict), std::string(AuthVerdictName(c.verdict))) << c.what << ": " << r.detail;
    }
}

TEST(SimDigest, CheckAuthorizationVariantsOfTheChallenge) {
    struct Case {
        const char* what;
        const char* qop;
        const char* algorithm;
        const char* opaque;
        std::string line;
        AuthVerdict verdict;
    };
    const std::string base =
        "Digest username=\"admin\",realm=\"ZEM\",nonce=\"0123abcd\",uri=\"/admin/advanced\",algorithm=\"ALG\","
        "response=\"RESP\"";
    auto line = [&](const char* alg, const char* resp, const std::string& tail) {
        return Replace(Replace(base, "ALG", alg), "RESP", resp) + tail;
    };
    const Case cases[] = {
        {"no qop", "", "MD5", "", line("MD5", "daac57a804ce7121b9e3728fefad33ba", ""), AuthVerdict::Accepted},
        {"no qop, but nc sent", "", "MD5", "",
         line("MD5", "daac57a804ce7121b9e3728fefad33ba", ",qop=auth,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::BadQop},
        {"unquoted algorithm comes back empty", "", "unquoted", "",
         line("", "daac57a804ce7121b9e3728fefad33ba", ""), AuthVerdict::Accepted},
        {"absent algorithm comes back empty", "", "absent", "", line("", "daac57a804ce7121b9e3728fefad33ba", ""),
         AuthVerdict::Accepted},
        {"auth-int", "auth-int", "MD5", "",
         line("MD5", "0f3f5d18bebad30b77b7dffe6a8e0afe", ",qop=auth-int,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::Accepted},
        {"auth-int hashed as plain auth", "auth-int", "MD5", "",
         line("MD5", "b1ce3069a16f46b650548fe7f99fec28", ",qop=auth-int,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::BadResponse},
        {"qop list sent back whole", "auth,auth-int", "MD5", "",
         line("MD5", "312e5642ddb75767e0fb2db6456f7213", ",qop=auth,auth-int,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::Accepted},
        {"qop list cut to one", "auth,auth-int", "MD5", "",
         line("MD5", "b1ce3069a16f46b650548fe7f99fec28", ",qop=auth,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::BadQop},
        {"md5-sess with opaque", "auth", "md5-sess", "op4que",
         line("md5-sess", "5664d8fa82ff80f6328a1715a04aeba2",
              ",opaque=\"op4que\",qop=auth,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::Accepted},
        {"md5-sess hashed over the hex H(A1)", "auth", "md5-sess", "",
         line("md5-sess", "b1ce3069a16f46b650548fe7f99fec28", ",qop=auth,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::BadResponse},
        {"opaque missing", "auth", "md5-sess", "op4que",
         line("md5-sess", "5664d8fa82ff80f6328a1715a04aeba2", ",qop=auth,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::BadOpaque},
        {"opaque changed", "auth", "md5-sess", "op4que",
         line("md5-sess", "5664d8fa82ff80f6328a1715a04aeba2",
              ",opaque=\"op4quf\",qop=auth,nc=000000001,cnonce=\"1a2b\""),
         AuthVerdict::BadOpaque},
    };
    for (const Case& c : cases) {
        DigestConfig cfg = AuthConfig();
        cfg.qop = c.qop;
        cfg.algorithm = c.algorithm;
        cfg.opaque = c.opaque;
        AuthCheck r = CheckAuthorization(cfg, c.line, "0123abcd", "/admin/advanced", 1);
        EXPECT_EQ(AuthVerdictName(r.verdict), std::string(AuthVerdictName(c.verdict))) << c.what << ": " << r.detail;
    }
}

TEST(SimDigest, ChallengeLines) {
    struct Case {
        const char* qop;
        const char* algorithm;
        const char* opaque;
        bool stale;
        const char* line;
    };
    const Case cases[] = {
        {"", "MD5", "", false, "WWW-Authenticate: Digest realm=\"ZEM\",nonce=\"n1\",algorithm=\"MD5\""},
        {"", "absent", "", false, "WWW-Authenticate: Digest realm=\"ZEM\",nonce=\"n1\""},
        {"", "unquoted", "", false, "WWW-Authenticate: Digest realm=\"ZEM\",nonce=\"n1\",algorithm=MD5"},
        {"auth,auth-int", "md5-sess", "op", true,
         "WWW-Authenticate: Digest realm=\"ZEM\",nonce=\"n1\",algorithm=\"md5-sess\",qop=\"auth,auth-int\","
         "opaque=\"op\",stale=true"},
    };
    for (const Case& c : cases) {
        DigestConfig cfg = AuthConfig();
        cfg.qop = c.qop;
        cfg.algorithm = c.algorithm;
        cfg.opaque = c.opaque;
        EXPECT_EQ(ChallengeLine(cfg, "n1", c.stale), c.line);
    }
}

TEST(SimHttp, RequestHeads) {
    struct Case {
        const char* head;
        bool ok;
        const char* path;
        bool formatOk;
        bool auth;
    };
    const Case cases[] = {
        {"GET /admin/advanced HTTP/1.1\r\nHost: 192.168.1.1\r\n\r\n", true, "/admin/advanced", true, false},
        {"GET /admin/advanced HTTP/1.1\r\nHost: 192.168.1.1\r\nAuthorization: Digest a=\"b\"\r\n\r\n", true,
         "/admin/advanced", true, true},
        {"GET /admin/upgrade?tftp://10.1.0.7:69/zem1f.bin HTTP/1.1\r\nHost: 10.0.0.1\r\n\r\n", true,
         "/admin/upgrade?tftp://10.1.0.7:69/zem1f.bin", true, false},
        {"GET /x HTTP/1.0\r\nHost: 10.0.0.1\r\n\r\n", true, "/x", false, false},
        {"GET /x HTTP/1.1\r\nHost: example\r\n\r\n", true, "/x", false, false},
        {"GET /x HTTP/1.1\r\nHost: 10.0.0.1\r\nUser-Agent: y\r\n\r\n", true, "/x", false, false},
        {"GET /x HTTP/1.1\r\n\r\n", true, "/x", false, false},
        {"GET /x HTTP/1.1\r\nAuthorization: Digest a=\"b\"\r\nHost: 10.0.0.1\r\n\r\n", true, "/x", false, true},
        {"POST /x HTTP/1.1\r\nHost: 10.0.0.1\r\n\r\n", true, "/x", false, false},
        {"GARBAGE\r\n\r\n", false, "", false, false},
        {"GET x HTTP/1.1\r\n\r\n", false, "", false, false},
    };
    for (const Case& c : cases) {
        RequestHead h;
        EXPECT_EQ(ParseRequestHead(c.head, &h), c.ok) << c.head;
        if (!c.ok) continue;
        EXPECT_EQ(h.path, c.path) << c.head;
        EXPECT_EQ(h.formatProblem.empty(), c.formatOk) << c.head << " -> " << h.formatProblem;
        EXPECT_EQ(h.hasAuthorization, c.auth) << c.head;
    }
}

TEST(SimHttp, UpgradeTargets) {
    struct Case {
        const char* path;
        bool ok;
        uint32_t addr;
        uint16_t port;
        const char* file;
    };
    const Case cases[] = {
        {"/admin/upgrade?tftp://10.1.0.7:69/zem1f.bin", true, 0x0a010007, 69, "/zem1f.bin"},
        {"/admin/upgrade?tftp://192.168.200.254:168/zem7fff.bin", true, 0xc0a8c8fe, 168, "/zem7fff.bin"},
        {"/admin/upgrade?tftp://10.1.0.7:69/dir/a:b", true, 0x0a010007, 69, "/dir/a:b"},
        {"/admin/upgrade?tftp://10.1.0.7/zem1f.bin", false, 0, 0, ""},
        {"/admin/upgrade?tftp://10.1.0.7:069/zem1f.bin", false, 0, 0, ""},
        {"/admin/upgrade?tftp://10.1.0.7:0/zem1f.bin", false, 0, 0, ""},
        {"/admin/upgrade?tftp://10.1.0.7:65536/zem1f.bin", false, 0, 0, ""},
        {"/admin/upgrade?tftp://10.1.0.256:69/zem1f.bin", false, 0, 0, ""},
        {"/admin/upgrade?tftp://10.1.0.7:69/", false, 0, 0, ""},
        {"/admin/upgrade?http://10.1.0.7:69/zem1f.bin", false, 0, 0, ""},
        {"/admin/upgrade?tftp://host:69/zem1f.bin", false, 0, 0, ""},
    };
    for (const Case& c : cases) {
        uint32_t a = 0;
        uint16_t p = 0;
        std::string f, why;
        EXPECT_EQ(ParseUpgradeTarget(c.path, &a, &p, &f, &why), c.ok) << c.path << " " << why;
        if (!c.ok) continue;
        EXPECT_EQ(a, c.addr);
        EXPECT_EQ(p, c.port);
        EXPECT_EQ(f, c.file);
    }
}

std::vector<unsigned char> Bytes(const std::string& s) { return std::vector<unsigned char>(s.begin(), s.end()); }

TEST(SimTftp, ReadRequestAndAckBytes) {
    EXPECT_EQ(BuildRrq("/zem1f.bin"), Bytes(std::string("\0\1/zem1f.bin\0octet\0tsize\0" "0\0timeout\0" "5\0", 37)));
    EXPECT_EQ(BuildAck(0x1234), Bytes(std::string("\0\4\x12\x34", 4)));
    EXPECT_EQ(BuildAck(0), Bytes(std::string("\0\4\0\0", 4)));
}

TEST(SimTftp, OptionAcknowledgements) {
    struct Case {
        std::string bytes;
        bool ok;
        uint64_t tsize;
    };
    const Case cases[] = {
        {std::string("\0\6tsize\0" "748972\0timeout\0" "5\0", 25), true, 748972},
        {std::string("\0\6tsize\0" "0\0timeout\0" "5\0", 20), true, 0},
        {std::string("\0\6tsize\0" "748972\0timeout\0" "6\0", 25), false, 0},
        {std::string("\0\6timeout\0" "5\0tsize\0" "748972\0", 25), false, 0},
        {std::string("\0\6tsize\0" "0748972\0timeout\0" "5\0", 26), false, 0},
        {std::string("\0\6tsize\0" "748972\0timeout\0" "5", 24), false, 0},
        {std::string("\0\6tsize\0" "748972\0", 15), false, 0},
        {std::string("\0\6tsize\0" "748972\0timeout\0" "5\0blksize\0" "512\0", 37), false, 0},
        {std::string("\0\6TSIZE\0" "748972\0timeout\0" "5\0", 25), false, 0},
        {std::string("\0\6tsize\0" "-1\0timeout\0" "5\0", 21), false, 0},
        {std::string("\0\3tsize\0" "1\0timeout\0" "5\0", 20), false, 0},
    };
    for (const Case& c : cases) {
        uint64_t t = 0;
        std::string why;
        EXPECT_EQ(ParseOack(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), &t, &why), c.ok)
            << JsonString(c.bytes) << " " << why;
        if (c.ok) {
            EXPECT_EQ(t, c.tsize);
        }
    }
}

TEST(SimMisc, JsonStringsStayValid) {
    EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(JsonString(std::string("\r\n\t\x01", 4)), "\"\\r\\n\\t\\u0001\"");
    EXPECT_EQ(JsonString("\xff"), "\"\\u00ff\"");
}

TEST(SimMisc, Targets) {
    unsigned m = 0;
    EXPECT_TRUE(ParseTargets("status", &m));
    EXPECT_EQ(m, unsigned(kTargetStatus));
    EXPECT_TRUE(ParseTargets("upgrade,verify", &m));
    EXPECT_EQ(m, unsigned(kTargetUpgrade | kTargetVerify));
    EXPECT_TRUE(ParseTargets("all", &m));
    EXPECT_EQ(m, unsigned(kTargetStatus | kTargetUpgrade | kTargetVerify));
    EXPECT_FALSE(ParseTargets("", &m));
    EXPECT_FALSE(ParseTargets("status,", &m));
    EXPECT_FALSE(ParseTargets("everything", &m));
}

TEST(SimMisc, ImageVersionFromHeader) {
    std::vector<unsigned char> img(200, 'x');
    const char v[] = "4.2.17";
    std::copy(v, v + sizeof v, img.begin() + 92);
    EXPECT_EQ(ImageVersion(img), "4.2.17");
    img[92 + 6] = 'x';
    std::fill(img.begin() + 92, img.begin() + 128, 'y');
    EXPECT_EQ(ImageVersion(img), "");  // no zero byte within the header
    EXPECT_EQ(ImageVersion(std::vector<unsigned char>(100, 0)), "");
}

TEST(SimOptions, HelpListsEveryOption) {
    std::string help = HelpText();
    for (const std::string& name : OptionNames()) EXPECT_NE(help.find("--" + name), std::string::npos) << name;
}

TEST(SimOptions, ParsesAndRejects) {
    struct Case {
        std::vector<std::string> args;
        ParseResult result;
    };
    const Case cases[] = {
        {{"--address", "10.77.0.2"}, ParseResult::Ok},
        {{"--help"}, ParseResult::Help},
        {{}, ParseResult::Error},
        {{"--address", "10.77.0.300"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--user", "u"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--user", "u", "--password", "p", "--qop", "auth,auth-int"}, ParseResult::Ok},
        {{"--address", "10.77.0.2", "--qop", "auth,bogus"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--algorithm", "SHA-256"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--nonce-policy", "sometimes"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--drop-ack", "101"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--drop-ack", "12.5", "--never-close", "verify"}, ParseResult::Ok},
        {{"--address", "10.77.0.2", "--never-close", "sometimes"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--port", "0"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "extra"}, ParseResult::Error},
        {{"--address", "10.77.0.2", "--bogus"}, ParseResult::Error},
    };
    for (const Case& c : cases) {
        std::vector<std::string> store = {"zem-sim"};
        store.insert(store.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (std::string& s : store) argv.push_back(&s[0]);
        argv.push_back(nullptr);
        Options o;
        std::string err;
        std::string joined;
        for (const std::string& s : c.args) joined += s + " ";
        EXPECT_EQ(int(ParseOptions(int(store.size()), argv.data(), &o, &err)), int(c.result)) << joined << err;
    }
}

}  // namespace
