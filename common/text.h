// Bounded copies and formatting into fixed-capacity texts, ASCII case folding,
// and IPv4 addresses as text.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Copies at most capacity - 1 characters of source and always terminates.
// Returns the number of characters copied.
inline std::size_t CopyText(char* destination, std::size_t capacity, const char* source) {
  if (capacity == 0) return 0;
  std::size_t n = 0;
  while (n + 1 < capacity && source[n] != '\0') {
    destination[n] = source[n];
    ++n;
  }
  destination[n] = '\0';
  return n;
}

template <std::size_t N>
inline std::size_t CopyText(char (&destination)[N], const char* source) {
  return CopyText(destination, N, source);
}

// Formats one more piece after the length characters already in the buffer
// (capacity bytes, the zero included; length < capacity). What does not fit is
// cut, and the text stays terminated. Returns the new length.
#if defined(__GNUC__)
__attribute__((format(printf, 4, 5)))
#endif
inline std::size_t AppendFormat(char* buffer, std::size_t capacity, std::size_t length, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(buffer + length, capacity - length, format, args);
  va_end(args);
  if (written > 0) length += static_cast<std::size_t>(written);
  return length < capacity ? length : capacity - 1;
}

// An ASCII letter in lower case; every other byte as it is. The adapter's
// tokens and the model tags are ASCII, and the locale must not change what matches.
constexpr char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// ---- IPv4 addresses as text -----------------------------------------------------
// The bytes of a host-order address, the most significant first: what
// "%u.%u.%u.%u" prints for it.
struct QuadBytes {
  unsigned first, second, third, fourth;
};
constexpr QuadBytes BytesOf(std::uint32_t address) {
  return QuadBytes{(address >> 24) & 0xffu, (address >> 16) & 0xffu, (address >> 8) & 0xffu, address & 0xffu};
}

inline constexpr std::size_t kDottedQuadSize = 16;  // "255.255.255.255" and the zero
// The address as "%u.%u.%u.%u".
inline void FormatDottedQuad(std::uint32_t address, char (&text)[kDottedQuadSize]) {
  QuadBytes bytes = BytesOf(address);
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes.first, bytes.second, bytes.third, bytes.fourth);
}
