// ParseDottedQuad against a plain reading of the address rules.
//
// Input: the text typed into the address control; the bytes up to the first
// zero byte are the text. It is handed over in a heap block of exactly its
// length and terminator, so a read past the terminator is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/check.h"
#include "ui/ui.h"

namespace {

struct Reading {
  int code;
  std::uint32_t address;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The rules read plainly: 7 to 15 characters, only digits, '.' and '*';
// the parts are the runs of digits; at most four of them, each at most 255,
// the first the most significant byte.
Reading Read(const std::string& text) {
  if (text.size() < 7 || text.size() > 15) return {4, 0};
  for (char c : text) {
    if (!IsDigit(c) && c != '.' && c != '*') return {5, 0};
  }
  std::vector<std::string> parts;
  std::string run;
  for (char c : text + ".") {
    if (IsDigit(c)) {
      run += c;
    } else if (!run.empty()) {
      parts.push_back(run);
      run.clear();
    }
  }
  std::uint32_t address = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i == 4) return {2, 0};
    unsigned long long value = std::strtoull(parts[i].c_str(), nullptr, 10);  // 15 digits at most
    if (value > 255) return {1, 0};
    address = (address << 8) | static_cast<std::uint32_t>(value);
  }
  if (parts.size() < 4) return {3, 0};
  return {0, address};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* start = reinterpret_cast<const char*>(data);
  std::string text(start, strnlen(start, size));
  std::vector<char> block(text.begin(), text.end());
  block.push_back('\0');

  std::uint32_t address = 0xdeadbeefu;
  int code = ParseDottedQuad(block.data(), &address);
  Reading expected = Read(text);
  fuzz::Check(code == expected.code && address == expected.address,
              "\"%s\": parser %d and %08x, rules %d and %08x", text.c_str(), code, address, expected.code,
              expected.address);
  return 0;
}
