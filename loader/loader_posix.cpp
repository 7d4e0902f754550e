// dlopen stands in for LoadLibraryA. A Windows drive path "X:\dir\file" is
// mapped below a drive root so the tool's fixed install path means something
// here; every other text goes to dlopen unchanged, so a bare name takes the
// dynamic loader's own search (LD_LIBRARY_PATH, the run path, system folders).
#include "loader/loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

namespace loader {
namespace {

bool IsDrivePath(const char* path) {
  const char c = path[0];
  const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  return letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

std::string MapDrivePath(const char* path) {
  const char* root = std::getenv("VORTIQ_DRIVE_ROOT");
  std::string mapped = (root != nullptr && *root != '\0') ? root : "/mnt";
  mapped += '/';
  char letter = path[0];
  if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
  mapped += letter;
  for (const char* p = path + 2; *p != '\0'; ++p) mapped += (*p == '\\') ? '/' : *p;
  return mapped;
}

}  // namespace

Handle Open(const char* path) {
  // RTLD_NOW: a library with unresolved symbols fails here, not mid-call.
  Handle module = IsDrivePath(path) ? dlopen(MapDrivePath(path).c_str(), RTLD_NOW | RTLD_LOCAL)
                                    : dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) dlerror();  // drop the message; failures are reported by null only
  return module;
}

Proc Symbol(Handle module, const char* name) {
  void* address = dlsym(module, name);
  if (address == nullptr) dlerror();
  return reinterpret_cast<Proc>(address);
}

void Close(Handle module) { dlclose(module); }

}  // namespace loader
