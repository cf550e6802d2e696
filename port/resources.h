// Resources embedded in the POSIX executable, found by type name and numeric id.
#pragma once

#include <cstddef>

#include "port/win32.h"

struct PortResource {
  const char* type;  // type name, e.g. "ZEM_FIRMWARE"
  WORD id;           // numeric identifier
  const unsigned char* bytes;
  DWORD size;
};

// Defined by resources/ for the executable being linked.
extern const PortResource kPortResources[];
extern const std::size_t kPortResourceCount;
