// The per-copy record and the listing call's types, shared with the API library.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "binding/vortiq_api.h"

// Laid out to the byte as the library writes it; the reserved ranges and
// whatever follows byte 316 are the library's.
struct ApiDllInfo {
  char path[272];
  std::int32_t size;
  std::uint8_t reserved276[8];
  std::uint16_t year;
  std::uint8_t month;
  std::uint8_t day;
  std::uint8_t reserved288[14];
  std::uint8_t second;
  std::uint8_t minute;
  std::uint8_t hour;
  std::uint8_t reserved305[7];
  std::uint8_t versionMajor;
  std::uint8_t versionMinor;
  std::uint16_t versionBuild;
};

static_assert(std::endian::native == std::endian::little, "the record's integers are little-endian");
static_assert(offsetof(ApiDllInfo, path) == 0);
static_assert(offsetof(ApiDllInfo, size) == 272);
static_assert(offsetof(ApiDllInfo, year) == 284);
static_assert(offsetof(ApiDllInfo, month) == 286);
static_assert(offsetof(ApiDllInfo, day) == 287);
static_assert(offsetof(ApiDllInfo, second) == 302);
static_assert(offsetof(ApiDllInfo, minute) == 303);
static_assert(offsetof(ApiDllInfo, hour) == 304);
static_assert(offsetof(ApiDllInfo, versionMajor) == 312);
static_assert(offsetof(ApiDllInfo, versionMinor) == 313);
static_assert(offsetof(ApiDllInfo, versionBuild) == 314);
static_assert(sizeof(ApiDllInfo) == 316);

// Context and result belong to the library; on 32-bit Windows both are 32 bits.
using ApiDllListCallback = std::int32_t(VORTIQ_CALL*)(std::intptr_t context, const ApiDllInfo* info);
using VortiqListAPIDLLsFn = std::int32_t(VORTIQ_CALL*)(std::intptr_t first, ApiDllListCallback callback,
                                                       std::intptr_t third);
