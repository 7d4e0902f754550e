// The one process-wide table of the API library: its handle and its entry points.
#pragma once

#include <cstdint>

#include "binding/vortiq_api.h"
#include "loader/loader.h"

struct VortiqApiBinding {
  void* module;
#define VORTIQ_SLOT(Slot, Required, Use) loader::Proc Slot;
  VORTIQ_API_EXPORTS(VORTIQ_SLOT)
#undef VORTIQ_SLOT

  // No constructor: the global is zero-initialised before any code runs.
  ~VortiqApiBinding() { Unload(); }

  // Binds the library at `path`. Returns its API version, or 0 when the file
  // does not load or lacks a required export (then the binding is clear). A
  // version call that returns 0 leaves the library bound.
  std::int32_t Load(const char* path);
  // Releases the bound library, if any, and clears every field.
  void Unload();
};

extern VortiqApiBinding gVortiqApi;

// Entry-point types, in the library's convention.
using VortiqAPIVersionFn = std::int32_t(VORTIQ_CALL*)();

// Gives a bound slot its function type; the one place such a cast is made.
template <class Fn>
Fn VortiqEntry(loader::Proc slot) {
  return reinterpret_cast<Fn>(slot);
}
