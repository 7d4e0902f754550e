#include "loader/loader.h"

#include <windows.h>

namespace loader {

Handle Open(const char* path) {
  // A damaged copy must fail quietly, never with a system error box.
  DWORD previous = 0;
  const BOOL quiet = SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
  HMODULE module = LoadLibraryA(path);
  if (quiet) SetThreadErrorMode(previous, nullptr);
  return module;
}

Proc Symbol(Handle module, const char* name) {
  // FARPROC and Proc are both generic function pointers; callers give the real type.
  return reinterpret_cast<Proc>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void Close(Handle module) { FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace loader
