// Status-page fields and the classification of the adapter's answers, over
// small page fixtures.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/text.h"
#include "web/web.h"

namespace {

struct ExtractCase {
  const char* name;
  std::string text;
  const char* label;
  bool written;
  std::string field;  // the field afterwards; it held "OLD" before
};

const std::string k300(300, 'v');

const ExtractCase kExtractCases[] = {
    {"ValueAfterARunOfTags", "<tr><td>Software Version:</td><td>2.4.6</td></tr>", "Software Version:", true,
     "2.4.6"},
    {"LineFeedBetweenTagsIsTheValue", "<td>Product Name:</td>\n<td>ZEM-200</td>", "Product Name:", true, "\n"},
    {"NoClosingBracketAfterLabel", "<td>MAC Address: 00:11:22", "MAC Address:", false, "OLD"},
    {"BracketIsTheLastCharacter", "<td>MAC Address:</td>", "MAC Address:", true, ""},
    {"LongValueCutAt127", "Serial Number:<td>" + k300 + "</td>", "Serial Number:", true, std::string(127, 'v')},
    {"ValueRunsToTheEnd", "Hardware Version:<b>rev C", "Hardware Version:", true, "rev C"},
    {"LongValueToTheEndCutAt127", "Hardware Version:<b>" + k300, "Hardware Version:", true, std::string(127, 'v')},
    {"FirstOccurrenceDecides", "Serial Number:<td>first</td> Serial Number:<td>second</td>", "Serial Number:", true,
     "first"},
    {"LabelInsideALongerLabel", "<td>Device Serial Number:</td><td>SN42</td>", "Serial Number:", true, "SN42"},
    {"LabelInTheHeaderBlock",
     "HTTP/1.1 200 OK\r\nX-Note: Software Version: <x>from-header\r\n\r\n"
     "<td>Software Version:</td><td>9.9</td>",
     "Software Version:", true, "from-header\r\n\r\n"},
    {"PlainTextBeforeATagIsPassedOver", "Product Name: skipped<br>ZEM-200</td>", "Product Name:", true, "ZEM-200"},
    {"LabelAbsentKeepsTheField", "<td>Model:</td><td>ZEM</td>", "Product Name:", false, "OLD"},
    {"LabelIsCaseSensitive", "<td>product name:</td><td>ZEM</td>", "Product Name:", false, "OLD"},
    {"CharacterReferencesCopiedAsTheyStand", "MAC Address:<td>&nbsp;00&amp;11</td>", "MAC Address:", true,
     "&nbsp;00&amp;11"},
};

TEST(ExtractFieldTest, Table) {
  for (const ExtractCase& c : kExtractCases) {
    char field[kDeviceFieldSize + 32];
    std::memset(field, '#', sizeof field);
    CopyText(field, kDeviceFieldSize, "OLD");
    EXPECT_EQ(c.written, ExtractField(c.text.c_str(), c.label, field, kDeviceFieldMax)) << c.name;
    EXPECT_EQ(c.field, std::string(field)) << c.name;
    for (std::size_t i = kDeviceFieldSize; i < sizeof field; ++i) {
      ASSERT_EQ('#', field[i]) << c.name << ": written past the field at byte " << i;
    }
  }
}

struct ClassifyCase {
  const char* name;
  const char* text;
  int code;
};

const ClassifyCase kClassifyCases[] = {
    {"Status200", "HTTP/1.1 200 OK\r\n\r\n<html>", 0},
    {"TabBlankTabBefore200", "HTTP/1.1\t \t200 OK\r\n", 0},
    {"AnyCharacterAfterTheVersion", "HTTP/1.1x200 OK\r\n", 0},
    {"OnlyThreeDigitsCompared", "HTTP/1.1 2001 Odd\r\n", 0},
    {"Http10", "HTTP/1.0 200 OK\r\n", -1},
    {"LowerCaseVersion", "http/1.1 200 OK\r\n", -1},
    {"Empty", "", -1},
    {"VersionOnly", "HTTP/1.1", -2},
    {"VersionAndOneBlank", "HTTP/1.1 ", -2},
    {"VersionAndBlanks", "HTTP/1.1 \t  ", -2},
    {"OtherStatus", "HTTP/1.1 404 Not Found\r\n\r\n", 2},
    {"Challenge", "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ZEM\", nonce=\"abc\"\r\n\r\n", 1},
    {"ChallengeOnlyInTheBody",
     "HTTP/1.1 401 Unauthorized\r\n\r\n<p>WWW-Authenticate: Digest realm=\"ZEM\" nonce=\"abc\"</p>", 1},
    {"HeaderNameInOtherCase",
     "HTTP/1.1 401 Unauthorized\r\nWww-Authenticate: Digest realm=\"ZEM\", nonce=\"abc\"\r\n\r\n", 2},
    {"ChallengeWithoutNonce", "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"ZEM\"\r\n\r\n", 2},
    {"ChallengeWithoutRealm", "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest nonce=\"abc\"\r\n\r\n", 2},
    {"NoChallengeHeader", "HTTP/1.1 401 Unauthorized\r\n\r\n", 2},
};

TEST(ClassifyResponseTest, Table) {
  for (const ClassifyCase& c : kClassifyCases) {
    AuthStateRecord state;
    std::memset(&state, 0, sizeof state);
    EXPECT_EQ(c.code, ClassifyResponse(c.text, &state)) << c.name;
    if (c.code == 1) {
      EXPECT_STREQ("abc", state.nonce) << c.name << ": the challenge was read";
    }
  }
}

// The parser gets the text from the header name on, so parameters that stand
// before it (here in the reason phrase) are not seen.
TEST(ClassifyResponseTest, ParserStartsAtTheHeaderName) {
  AuthStateRecord state;
  std::memset(&state, 0, sizeof state);
  EXPECT_EQ(2, ClassifyResponse("HTTP/1.1 401 realm=\"early\"\r\nWWW-Authenticate: Digest nonce=\"abc\"\r\n", &state));
  EXPECT_EQ(1, ClassifyResponse("HTTP/1.1 401 realm=\"early\"\r\nWWW-Authenticate: Digest nonce=\"abc\" realm=\"late\"",
                                &state));
  EXPECT_STREQ("late", state.realm);
}

}  // namespace
