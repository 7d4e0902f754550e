#pragma once

inline constexpr char kDefaultLibraryName[] = "VortiqAPI.dll";
inline constexpr char kInstalledLibraryPath[] = "C:\\Program Files\\Quendrel\\VortiqAPI\\VortiqAPI.dll";
inline constexpr char kBanner[] = "Looking for all VortiqAPI.dll files in your system\n";
inline constexpr char kEntryFormat[] = "%ld/%.2ld/%.2ld %.2d:%.2d:%.2d version:%ld.%ld.%ld size:%ld | %s\n";
