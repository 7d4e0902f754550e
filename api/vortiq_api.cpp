// Our VortiqAPI.dll: it lists every copy of itself; the market-data service
// itself is not provided, and every other entry point says so.
#include <cstdint>
#include <exception>
#include <vector>

#include "api/copies.h"
#include "report/api_dll_info.h"

#if defined(_WIN32)
#define VORTIQ_EXPORT extern "C" __declspec(dllexport)
#else
#define VORTIQ_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// What every entry point of the market-data service answers.
constexpr std::int32_t kVortiqNotProvided = -1;

VORTIQ_EXPORT std::int32_t VORTIQ_CALL sVortiqAPIVersion() {
  const std::int32_t version = VORTIQ_VERSION_MAJOR * 1000000 + VORTIQ_VERSION_MINOR * 1000 + VORTIQ_VERSION_BUILD;
  return version > 0 ? version : 1;
}

VORTIQ_EXPORT std::int32_t VORTIQ_CALL sVortiqListAPIDLLs(std::intptr_t, ApiDllListCallback callback,
                                                          std::intptr_t) {
  if (callback == nullptr) return 0;
  vortiq::Copy self;
  bool known = false;
  auto report = [callback](const vortiq::Copy& copy) {
    ApiDllInfo record;
    vortiq::FillRecord(copy, record);
    callback(0, &record);
  };
  std::vector<vortiq::Copy> copies;
  try {
    known = vortiq::DescribeSelf(self);
    copies = vortiq::ListingOrder(vortiq::FindCopies(), known ? &self : nullptr);
  } catch (const std::exception&) {
    // Out of memory in the walk: no exception may cross into the caller. The running copy
    // is still reported, without allocating, and the result says the listing is incomplete.
    if (known) report(self);
    return -1;
  }
  for (const vortiq::Copy& copy : copies) report(copy);
  return static_cast<std::int32_t>(copies.size());
}

#define VORTIQ_DEFINE_Called(Slot)
#define VORTIQ_DEFINE_Held(Slot) \
  VORTIQ_EXPORT std::int32_t VORTIQ_CALL sVortiq##Slot() { return kVortiqNotProvided; }
#define VORTIQ_DEFINE(Slot, Required, Use) VORTIQ_DEFINE_##Use(Slot)
VORTIQ_API_EXPORTS(VORTIQ_DEFINE)

#if !defined(_WIN32)
// The version note the copies' reader looks for: owner, type, MAJOR MINOR BUILD.
namespace {
struct VersionNote {
  std::uint32_t namesz, descsz, type;
  char name[8];
  std::uint32_t desc[3];
};
[[gnu::section(".note.vortiq"), gnu::used, gnu::aligned(4)]] const VersionNote kVersionNote = {
    7, 12, 1, "Vortiq", {VORTIQ_VERSION_MAJOR, VORTIQ_VERSION_MINOR, VORTIQ_VERSION_BUILD}};
}  // namespace
#endif
