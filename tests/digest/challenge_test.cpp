// Reading a challenge into the authentication record: which fields change,
// which stay, and that no value is ever written past its field.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/random.h"
#include "common/text.h"
#include "digest/digest.h"
#include "tests/digest/earlier_record.h"

namespace {

// The record followed by bytes that must stay untouched.
struct GuardedRecord {
  AuthStateRecord record;
  unsigned char guard[256];
};

enum class Start { Zero, Earlier };

using digesttest::FillEarlier;

using Text = std::optional<std::string>;  // nullopt: the field keeps its earlier value

struct ChallengeCase {
  const char* name;
  Start start;
  std::string text;
  int result;
  Text realm, nonce, lastNonce;
  std::optional<std::uint32_t> nonceCount;
  bool cnonceDrawn;
  Text algorithm, qop, opaque;
};

const std::string k127(127, 'r');
const std::string k128(128, 'r');

const ChallengeCase kCases[] = {
    {"NewNonce", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"n2\", algorithm=\"MD5-sess\", qop=\"auth\", opaque=\"op\"\r\n",
     0, "ZEM", "n2", "n2", 0u, true, "MD5-sess", "auth", "op"},
    {"SameNonceKeepsCount", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"oldnonce\", qop=\"auth\"\r\n", 0, "ZEM", "oldnonce",
     "oldnonce", 5u, true, "", "auth", ""},
    {"FirstAfterStartUp", Start::Zero, "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"abc\"\r\n", 0, "ZEM", "abc",
     "abc", 0u, true, "", "", ""},
    {"RealmAndNonceOnlyClearsTheRest", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"N\"\r\n\r\n", 0, "R", "N", "N", 0u, true, "", "", ""},
    {"RealmMissingChangesNothing", Start::Earlier, "WWW-Authenticate: Digest nonce=\"n2\", qop=\"auth\"\r\n", 1,
     {}, {}, {}, {}, false, {}, {}, {}},
    {"NonceMissingChangesOnlyRealm", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM\", qop=\"auth-int\", opaque=\"o\"\r\n", 1, "ZEM", {}, {}, {}, false, {},
     {}, {}},
    {"OtherSchemeLacksNonce", Start::Earlier, "WWW-Authenticate: Basic realm=\"ZEM\"\r\n", 1, "ZEM", {}, {}, {},
     false, {}, {}, {}},
    {"EmptyQuotedValues", Start::Earlier, "WWW-Authenticate: Digest realm=\"\", nonce=\"\", opaque=\"\"\r\n", 0, "",
     "", "", 0u, true, "", "", ""},
    {"EmptyNonceAfterStartUpIsNoNewNonce", Start::Zero, "WWW-Authenticate: Digest realm=\"\", nonce=\"\"", 0, "", "",
     "", 0u, true, "", "", ""},
    {"UnterminatedValueRunsToTheEnd", Start::Earlier, "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"abc <p>end",
     0, "ZEM", "abc <p>end", "abc <p>end", 0u, true, "", "", ""},
    {"UnquotedAlgorithmIsAbsent", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"n2\", algorithm=MD5\r\n", 0, "ZEM", "n2", "n2", 0u, true, "",
     "", ""},
    {"QopListKeptWhole", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"n2\", qop=\"auth,auth-int\"\r\n", 0, "ZEM", "n2", "n2", 0u,
     true, "", "auth,auth-int", ""},
    {"AnyOrderAndOtherHeadersBetween", Start::Earlier,
     "WWW-Authenticate: Digest opaque=\"op\"\r\nServer: zem\r\nX-Qop: qop=\"auth\"\r\n\r\n"
     "<p>nonce=\"n3\" algorithm=\"MD5\" realm=\"body\"</p>",
     0, "body", "n3", "n3", 0u, true, "MD5", "auth", "op"},
    {"LongerNameEndingInNonceCountsWhenFirst", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM\", cnonce=\"first\", nonce=\"second\"\r\n", 0, "ZEM", "first", "first",
     0u, true, "", "", ""},
    {"BackslashCopiedAsIs", Start::Earlier, "WWW-Authenticate: Digest realm=\"a\\b\", nonce=\"n\\\"", 0, "a\\b", "n\\",
     "n\\", 0u, true, "", "", ""},
    {"RealmOf127Fits", Start::Earlier, "WWW-Authenticate: Digest realm=\"" + k127 + "\", nonce=\"n2\"", 0, k127, "n2",
     "n2", 0u, true, "", "", ""},
    {"QopOf15Fits", Start::Earlier, "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", qop=\"auth,auth-int,x\"", 0,
     "R", "n2", "n2", 0u, true, "", "auth,auth-int,x", ""},
    // Overlong values: the challenge is refused and the record keeps every earlier value.
    {"OverlongRealmRefused", Start::Earlier, "WWW-Authenticate: Digest realm=\"" + k128 + "\", nonce=\"n2\"", 1, {},
     {}, {}, {}, false, {}, {}, {}},
    {"OverlongRealmWithoutNonceRefused", Start::Earlier, "WWW-Authenticate: Digest realm=\"" + k128 + "\"", 1, {},
     {}, {}, {}, false, {}, {}, {}},
    {"OverlongNonceRefused", Start::Earlier, "WWW-Authenticate: Digest realm=\"R\", nonce=\"" + k128 + "\"", 1, {},
     {}, {}, {}, false, {}, {}, {}},
    {"OverlongUnterminatedNonceRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"" + std::string(5000, 'n'), 1, {}, {}, {}, {}, false, {}, {}, {}},
    {"OverlongQopRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", qop=\"auth,auth-int,xy\"", 1, {}, {}, {}, {}, false, {}, {},
     {}},
    {"OverlongAlgorithmRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", algorithm=\"MD5-sess-and-more\"", 1, {}, {}, {}, {}, false,
     {}, {}, {}},
    {"OverlongOpaqueRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", opaque=\"" + k128 + "\"", 1, {}, {}, {}, {}, false, {}, {},
     {}},
    // Values go back verbatim in the Authorization line: one holding a control
    // character (CR or LF above all) is refused like an overlong one.
    {"RealmWithLineBreaksRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"a\r\nX-Injected: 1\r\n\", nonce=\"n2\"", 1, {}, {}, {}, {}, false, {}, {}, {}},
    {"RealmWithLineFeedWithoutNonceRefused", Start::Earlier, "WWW-Authenticate: Digest realm=\"a\nb\"", 1, {}, {}, {},
     {}, false, {}, {}, {}},
    {"NonceWithLineFeedRefused", Start::Earlier, "WWW-Authenticate: Digest realm=\"R\", nonce=\"n\n2\"", 1, {}, {}, {},
     {}, false, {}, {}, {}},
    {"UnterminatedNonceThroughTheLineEndRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"abc\r\n\r\n<p>", 1, {}, {}, {}, {}, false, {}, {}, {}},
    {"OpaqueWithCarriageReturnRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", opaque=\"o\rp\"", 1, {}, {}, {}, {}, false, {}, {}, {}},
    {"AlgorithmWithTabRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", algorithm=\"MD5\t\"", 1, {}, {}, {}, {}, false, {}, {},
     {}},
    {"QopWithControlRefused", Start::Earlier, "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", qop=\"auth\x01\"",
     1, {}, {}, {}, {}, false, {}, {}, {}},
    {"OpaqueWithDeleteRefused", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", opaque=\"o\x7f\"", 1, {}, {}, {}, {}, false, {}, {}, {}},
    {"ControlInAnIgnoredParameterDoesNotCount", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"R\", nonce=\"n2\", domain=\"/a\r\n\"", 0, "R", "n2", "n2", 0u, true, "", "",
     ""},
    {"BlanksAndHighBytesAreNoControls", Start::Earlier,
     "WWW-Authenticate: Digest realm=\"ZEM Admin \xe9\xff\", nonce=\"n 2\"", 0, "ZEM Admin \xe9\xff", "n 2", "n 2",
     0u, true, "", "", ""},
};

bool IsShortHex(const char* text) {
  std::size_t n = std::strlen(text);
  if (n < 1 || n > 4) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!((text[i] >= '0' && text[i] <= '9') || (text[i] >= 'a' && text[i] <= 'f'))) return false;
  }
  if (n > 1 && text[0] == '0') return false;  // no leading zeros
  return std::strtoul(text, nullptr, 16) <= 0x7fff;
}

void ExpectField(const char* name, const char* field, const Text& expected, const char* earlier) {
  EXPECT_EQ(expected.value_or(earlier), std::string(field)) << name;
}

TEST(ParseDigestChallengeTest, Table) {
  SeedSharedRandom(1);
  for (const ChallengeCase& c : kCases) {
    SCOPED_TRACE(c.name);
    GuardedRecord guarded;
    std::memset(&guarded, 0, sizeof guarded);
    std::memset(guarded.guard, 0xa5, sizeof guarded.guard);
    AuthStateRecord& state = guarded.record;
    if (c.start == Start::Earlier) FillEarlier(&state);
    const AuthStateRecord before = state;

    EXPECT_EQ(c.result, ParseDigestChallenge(c.text.c_str(), &state));

    ExpectField("realm", state.realm, c.realm, before.realm);
    ExpectField("nonce", state.nonce, c.nonce, before.nonce);
    ExpectField("lastNonce", state.lastNonce, c.lastNonce, before.lastNonce);
    EXPECT_EQ(c.nonceCount.value_or(before.nonceCount), state.nonceCount) << "nonceCount";
    ExpectField("algorithm", state.algorithm, c.algorithm, before.algorithm);
    ExpectField("qop", state.qop, c.qop, before.qop);
    ExpectField("opaque", state.opaque, c.opaque, before.opaque);
    if (c.cnonceDrawn) {
      EXPECT_TRUE(IsShortHex(state.cnonce)) << "cnonce \"" << state.cnonce << "\"";
    } else {
      EXPECT_STREQ(before.cnonce, state.cnonce) << "cnonce";
    }
    EXPECT_STREQ(before.username, state.username);
    EXPECT_STREQ(before.password, state.password);
    EXPECT_STREQ(before.uri, state.uri);
    if (c.result == 1 && !c.realm) {
      EXPECT_EQ(0, std::memcmp(&before, &state, sizeof state)) << "a refused challenge leaves the record untouched";
    }
    for (std::size_t i = 0; i < sizeof guarded.guard; ++i) {
      ASSERT_EQ(0xa5, guarded.guard[i]) << "written past the record at byte " << i;
    }
  }
}

// Over many parses the client nonce covers the generator's whole range in
// 1 to 4 digits, and a parse with the same nonce draws it anew.
TEST(ParseDigestChallengeTest, ClientNonceIsDrawnOnEveryParse) {
  AuthStateRecord state;
  std::memset(&state, 0, sizeof state);
  const char text[] = "WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"same\"";
  SeedSharedRandom(7);
  std::string previous;
  int changes = 0;
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(0, ParseDigestChallenge(text, &state));
    ASSERT_TRUE(IsShortHex(state.cnonce)) << "cnonce \"" << state.cnonce << "\"";
    if (previous != state.cnonce) ++changes;
    previous = state.cnonce;
    ASSERT_STREQ("same", state.lastNonce);
    ASSERT_EQ(0u, state.nonceCount);
  }
  EXPECT_GT(changes, 100);
}

// Every request parses its challenge on a worker thread of its own. The client
// nonce must come from the one generator of the process: a runtime whose
// rand() state is per thread gives each fresh thread the same first value.
TEST(ParseDigestChallengeTest, ClientNonceDiffersBetweenFreshThreads) {
  SeedSharedRandom(7);
  std::set<std::string> drawn;
  for (int i = 0; i < 20; ++i) {
    AuthStateRecord state;
    std::memset(&state, 0, sizeof state);
    std::thread worker([&state] {
      EXPECT_EQ(0, ParseDigestChallenge("WWW-Authenticate: Digest realm=\"ZEM\", nonce=\"same\"", &state));
    });
    worker.join();
    EXPECT_TRUE(IsShortHex(state.cnonce)) << "cnonce \"" << state.cnonce << "\"";
    drawn.insert(state.cnonce);
  }
  EXPECT_GT(drawn.size(), 10u) << "the worker threads drew the same client nonces";
}

// The runner's view: a count raised by authorised requests survives a repeat
// of the same nonce and goes back to 0 with a new one.
TEST(ParseDigestChallengeTest, CountFollowsTheNonce) {
  AuthStateRecord state;
  std::memset(&state, 0, sizeof state);
  ASSERT_EQ(0, ParseDigestChallenge("WWW-Authenticate: Digest realm=\"Z\", nonce=\"a\"", &state));
  state.nonceCount = 3;
  ASSERT_EQ(0, ParseDigestChallenge("WWW-Authenticate: Digest realm=\"Z\", nonce=\"a\"", &state));
  EXPECT_EQ(3u, state.nonceCount);
  ASSERT_EQ(0, ParseDigestChallenge("WWW-Authenticate: Digest realm=\"Z\", nonce=\"b\"", &state));
  EXPECT_EQ(0u, state.nonceCount);
  EXPECT_STREQ("b", state.lastNonce);
}

}  // namespace
