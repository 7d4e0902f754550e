#include "tests/fake_loader.h"

#include "binding/vortiq_api.h"
#include "loader/loader.h"

namespace fake_loader {

std::map<std::string, Library> libraries;
std::vector<std::string> calls;
int open_count = 0;

void Reset() {
  libraries.clear();
  calls.clear();
  open_count = 0;
}

namespace {

struct OpenLibrary {
  std::string path;
  const Library* library;
};

const Library* g_versioned = nullptr;  // the library whose version call runs

std::int32_t VORTIQ_CALL Version() { return g_versioned->version; }
std::int32_t VORTIQ_CALL Other() { return 0; }

}  // namespace
}  // namespace fake_loader

namespace loader {

Handle Open(const char* path) {
  using namespace fake_loader;
  calls.push_back(std::string("open ") + path);
  auto it = libraries.find(path);
  if (it == libraries.end()) return nullptr;
  ++open_count;
  return new OpenLibrary{path, &it->second};
}

Proc Symbol(Handle module, const char* name) {
  using namespace fake_loader;
  calls.push_back(std::string("sym ") + name);
  auto* open = static_cast<OpenLibrary*>(module);
  if (open->library->missing.count(name) != 0) return nullptr;
  if (std::string(name) == "sVortiqAPIVersion") {
    g_versioned = open->library;
    return reinterpret_cast<Proc>(&Version);
  }
  return reinterpret_cast<Proc>(&Other);
}

void Close(Handle module) {
  using namespace fake_loader;
  auto* open = static_cast<OpenLibrary*>(module);
  calls.push_back("close " + open->path);
  --open_count;
  delete open;
}

}  // namespace loader
