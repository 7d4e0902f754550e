# Windows builds: 32-bit executables run on a bare Windows, so the GCC and C++
# runtimes are linked in, and the ctest commands run through Wine.
string(APPEND CMAKE_EXE_LINKER_FLAGS " -static -static-libgcc -static-libstdc++")
string(APPEND CMAKE_SHARED_LINKER_FLAGS " -static -static-libgcc -static-libstdc++")
string(APPEND CMAKE_MODULE_LINKER_FLAGS " -static -static-libgcc -static-libstdc++")

# The API library's names are plain; 32-bit __stdcall would decorate them as name@N.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VORTIQ_PLAIN_EXPORTS_FLAG "-Wl,--kill-at")
  set(VORTIQ_WINE_ARCH win32)
else()
  set(VORTIQ_PLAIN_EXPORTS_FLAG "")
  set(VORTIQ_WINE_ARCH win64)
endif()

if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(VORTIQ_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
  set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/cmake/wine-run.sh;${VORTIQ_WINEPREFIX};${VORTIQ_WINE_ARCH}")
endif()
