#include "binding/vortiq_api_binding.h"

#include <cstddef>

VortiqApiBinding gVortiqApi;

namespace {

struct ExportSlot {
  const char* name;
  loader::Proc VortiqApiBinding::*slot;
  bool required;
};

constexpr ExportSlot kExportSlots[] = {
#define VORTIQ_EXPORT_SLOT(Slot, Required, Use) {VORTIQ_EXPORT_NAME(Slot), &VortiqApiBinding::Slot, Required},
    VORTIQ_API_EXPORTS(VORTIQ_EXPORT_SLOT)
#undef VORTIQ_EXPORT_SLOT
};

static_assert(sizeof(VortiqApiBinding) == 20 * sizeof(void*), "handle plus nineteen slots");
static_assert(offsetof(VortiqApiBinding, APIVersion) == sizeof(void*));
static_assert(offsetof(VortiqApiBinding, GetStateData) == 7 * sizeof(void*));
static_assert(offsetof(VortiqApiBinding, SetCallback) == 19 * sizeof(void*));

}  // namespace

void VortiqApiBinding::Unload() {
  if (module != nullptr) loader::Close(module);
  module = nullptr;
#define VORTIQ_CLEAR_SLOT(Slot, Required, Use) Slot = nullptr;
  VORTIQ_API_EXPORTS(VORTIQ_CLEAR_SLOT)
#undef VORTIQ_CLEAR_SLOT
}

std::int32_t VortiqApiBinding::Load(const char* path) {
  Unload();
  module = loader::Open(path);
  if (module == nullptr) return 0;

  // Required names first, in field order; the first one missing ends the load.
  for (const ExportSlot& e : kExportSlots) {
    if (!e.required) continue;
    this->*e.slot = loader::Symbol(module, e.name);
    if (this->*e.slot == nullptr) {
      Unload();
      return 0;
    }
  }
  // Optional names are kept as found, null included.
  for (const ExportSlot& e : kExportSlots) {
    if (!e.required) this->*e.slot = loader::Symbol(module, e.name);
  }
  return VortiqEntry<VortiqAPIVersionFn>(APIVersion)();
}
