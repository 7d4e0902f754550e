// The platform loader and the binding against real fixture libraries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "binding/vortiq_api_binding.h"
#include "loader/loader.h"

namespace {

namespace fs = std::filesystem;

TEST(Loader, BindsRealLibraries) {
  struct Case {
    const char* path;
    std::int32_t result;
    bool setCallback;
  };
  const Case cases[] = {
      {FIXTURE_GOOD, 7, true},
      {FIXTURE_NOLAST, 0, false},
      {FIXTURE_NOOPT, 4, false},
      {FIXTURE_V0, 0, true},
      {FIXTURE_NEGATIVE, -5, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    VortiqApiBinding binding{};
    EXPECT_EQ(binding.Load(c.path), c.result);
    EXPECT_EQ(binding.SetCallback != nullptr, c.setCallback);
  }
}

TEST(Loader, FailsQuietlyOnWhatIsNoLibrary) {
  const fs::path dir = fs::temp_directory_path() / "vortiq-loader-test";
  fs::remove_all(dir);
  fs::create_directories(dir / "folder.dll");
  std::ofstream(dir / "text.dll") << "not a library\n";
  std::ofstream(dir / "empty.dll");
  for (const char* name : {"folder.dll", "text.dll", "empty.dll", "absent.dll"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(loader::Open((dir / name).string().c_str()), nullptr);
  }
  fs::remove_all(dir);
}

TEST(Loader, MissingExportIsNull) {
  loader::Handle module = loader::Open(FIXTURE_NOLAST);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(loader::Symbol(module, "sVortiqSignalWaitEvent"), nullptr);
  EXPECT_EQ(loader::Symbol(module, "SVORTIQAPIVERSION"), nullptr) << "names match exactly";
  EXPECT_NE(loader::Symbol(module, "sVortiqAPIVersion"), nullptr);
  loader::Close(module);
}

#if !defined(_WIN32)
// A drive path is looked for below VORTIQ_DRIVE_ROOT: letter in lower case, backslashes as slashes.
TEST(Loader, MapsDrivePathsBelowTheDriveRoot) {
  const fs::path root = fs::temp_directory_path() / "vortiq-drive-root";
  fs::remove_all(root);
  fs::create_directories(root / "c" / "Program Files" / "Q");
  fs::copy_file(FIXTURE_GOOD, root / "c" / "Program Files" / "Q" / "VortiqAPI.dll");
  setenv("VORTIQ_DRIVE_ROOT", root.c_str(), 1);
  for (const char* path : {"C:\\Program Files\\Q\\VortiqAPI.dll", "c:\\Program Files\\Q\\VortiqAPI.dll",
                           "C:/Program Files/Q/VortiqAPI.dll"}) {
    SCOPED_TRACE(path);
    loader::Handle module = loader::Open(path);
    EXPECT_NE(module, nullptr);
    if (module != nullptr) loader::Close(module);
  }
  for (const char* path : {"D:\\Program Files\\Q\\VortiqAPI.dll", "C:Program Files\\Q\\VortiqAPI.dll"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(loader::Open(path), nullptr);
  }
  unsetenv("VORTIQ_DRIVE_ROOT");
  fs::remove_all(root);
}
#endif

}  // namespace
