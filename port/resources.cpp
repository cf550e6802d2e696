// FindResourceA and friends over the table that resources/ links in.
#include "port/resources.h"

#include <cstring>

struct PortModule {
  int unused;
};

namespace {
PortModule g_executable{0};
}

HINSTANCE PortModuleHandle() { return &g_executable; }

HMODULE GetModuleHandleA(LPCSTR moduleName) { return moduleName == nullptr ? &g_executable : nullptr; }

HRSRC FindResourceA(HMODULE, LPCSTR name, LPCSTR type) {
  if (name == nullptr || type == nullptr || !IS_INTRESOURCE(name) || IS_INTRESOURCE(type)) return nullptr;
  WORD id = static_cast<WORD>(reinterpret_cast<UINT_PTR>(name));
  for (std::size_t i = 0; i < kPortResourceCount; ++i) {
    const PortResource& resource = kPortResources[i];
    if (resource.id == id && std::strcmp(resource.type, type) == 0) return &resource;
  }
  return nullptr;
}

DWORD SizeofResource(HMODULE, HRSRC resource) { return resource != nullptr ? resource->size : 0; }

HGLOBAL LoadResource(HMODULE, HRSRC resource) { return resource; }

LPVOID LockResource(HGLOBAL loaded) {
  return loaded != nullptr ? const_cast<unsigned char*>(loaded->bytes) : nullptr;
}
