// ParseDottedQuad: every rule of the parser in one table.
#include <cstdint>

#include <gtest/gtest.h>

#include "ui/ui.h"

namespace {

struct QuadCase {
  const char* text;
  int code;
  std::uint32_t address;  // expected in the result slot: 0 for every refusal
};

constexpr QuadCase kCases[] = {
    {"1.2.3.4", 0, 0x01020304u},             // seven characters, the shortest
    {"255.255.255.255", 0, 0xffffffffu},     // fifteen, the longest
    {"0.0.0.0", 0, 0u},                      // parses; the dialog refuses it
    {"010.001.000.123", 0, 0x0a01007bu},     // leading zeros are decimal, not octal
    {"..1.2.3.4", 0, 0x01020304u},           // separators at the start make no part
    {"1..2.3.4", 0, 0x01020304u},            // a run of separators separates once
    {"1.2.3.4.", 0, 0x01020304u},            // nor at the end
    {"1*2*3*4", 0, 0x01020304u},             // '*' separates like '.'
    {"1.2*3..4", 0, 0x01020304u},
    {"1.2.3.256", 1, 0u},                    // a part above 255
    {"256.1.1.1", 1, 0u},
    {"999999999.1.1", 1, 0u},                // nine digits in one part
    {"123456789012345", 1, 0u},              // one long part is read as too large, not overflowed
    {"1.2.3.256.5", 1, 0u},                  // parts are taken in order: the large one first
    {"1.2.3.4.5", 2, 0u},                    // more than four parts
    {"1.2.3.4.256", 2, 0u},                  // the fifth part is refused before it is read
    {"1...2.3", 3, 0u},                      // seven characters, three parts
    {"1234567", 1, 0u},                      // one part: read, and too large, before it counts as too few
    {".......", 3, 0u},                      // no part at all
    {"1.2.3", 4, 0u},                        // too short
    {"", 4, 0u},
    {"1.2.3.4.5.6.7.8", 2, 0u},              // fifteen characters, eight parts
    {"001.002.003.0004", 4, 0u},             // sixteen, though otherwise valid
    {"1.2.3.4 ", 5, 0u},                     // a trailing blank
    {" 1.2.3.4", 5, 0u},
    {"1.2.3.a", 5, 0u},
    {"1,2,3,4", 5, 0u},
    {"1.2.3.999x", 5, 0u},                   // the character check covers the whole text first
    {"-1.2.3.4", 5, 0u},
};

TEST(ParseDottedQuadTest, Table) {
  for (const QuadCase& c : kCases) {
    std::uint32_t result = 0xdeadbeefu;  // overwritten on every code
    EXPECT_EQ(c.code, ParseDottedQuad(c.text, &result)) << '"' << c.text << '"';
    EXPECT_EQ(c.address, result) << '"' << c.text << '"';
  }
}

}  // namespace
