#pragma once

#include <cstdint>

#include "report/api_dll_info.h"

// The listing callback: prints one line for the copy `info` describes.
std::int32_t VORTIQ_CALL PrintApiDllEntry(std::intptr_t context, const ApiDllInfo* info);
