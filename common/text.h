// Bounded copies and formatting into fixed-capacity texts.
#pragma once

#include <cstddef>
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
