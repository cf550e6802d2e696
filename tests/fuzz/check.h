// What the fuzz targets share: a failed property names itself on stderr and
// aborts, which libFuzzer reports as a crash and keeps the input for.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

[[gnu::format(printf, 2, 3)]] inline void Check(bool holds, const char* format, ...) {
  if (holds) return;
  std::fputs("property failed: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::abort();
}

// True when the text ends within the field's capacity.
inline bool TerminatedWithin(const char* field, std::size_t capacity) {
  return std::memchr(field, '\0', capacity) != nullptr;
}

}  // namespace fuzz
