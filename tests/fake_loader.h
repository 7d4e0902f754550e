// A loader that serves made-up libraries and records every call made to it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fake_loader {

struct Library {
  std::set<std::string> missing;  // export names the library lacks
  std::int32_t version = 1;
};

// Libraries by path; a path not here fails to load.
extern std::map<std::string, Library> libraries;
// "open PATH", "sym NAME", "close PATH", in call order.
extern std::vector<std::string> calls;
// How many libraries are open now.
extern int open_count;

void Reset();

}  // namespace fake_loader
