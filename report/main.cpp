#include "binding/vortiq_api_binding.h"
#include "report/print_entry.h"
#include "report/report_constants.h"

#include <cstdio>

int main() {
  // The copy the platform's search finds wins; the install path is the fallback.
  if (gVortiqApi.Load(kDefaultLibraryName) == 0) gVortiqApi.Load(kInstalledLibraryPath);

  std::fputs(kBanner, stdout);
  if (gVortiqApi.ListAPIDLLs != nullptr) {
    VortiqEntry<VortiqListAPIDLLsFn>(gVortiqApi.ListAPIDLLs)(0, PrintApiDllEntry, 0);
  }
  return 0;  // the binding's destructor releases the library at exit
}
