// Under LeakSanitizer: Mesa's driver keeps a few allocations for the life of
// an X connection and is unloaded when the last one closes (a window test
// stops SDL's video). Its leaks are then reported from "<unknown module>",
// which no suppression can name. Loaded once more here and never unloaded,
// it stays named, and tests/support/lsan.supp suppresses it.
#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {
struct KeepSoftwareGlDriver {
  KeepSoftwareGlDriver() {
    std::string folders =
        "/usr/lib/x86_64-linux-gnu/dri:/usr/lib/aarch64-linux-gnu/dri:/usr/lib64/dri:/usr/lib/dri";
    if (const char* chosen = std::getenv("LIBGL_DRIVERS_PATH")) folders = std::string(chosen) + ":" + folders;
    size_t start = 0;
    while (start <= folders.size()) {
      const size_t end = std::min(folders.find(':', start), folders.size());
      const std::string path = folders.substr(start, end - start) + "/swrast_dri.so";
      if (dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE)) return;
      start = end + 1;
    }
  }
} keepSoftwareGlDriver;
}  // namespace
#endif
