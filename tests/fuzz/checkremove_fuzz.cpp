// The normalisation checkRemove compares with the protected paths, on arbitrary paths (only
// looked up, never changed). A normal form is absolute, holds no empty, "." or ".."
// component, has no trailing slash (but "/"), and is its own normal form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "handlers/files.h"

static bool wellFormed(const std::string& n) {
  const std::string slashed = n + "/";
  return n == "/" ||
         (!n.empty() && n[0] == '/' && n.back() != '/' && slashed.find("//") == std::string::npos &&
          slashed.find("/./") == std::string::npos && slashed.find("/../") == std::string::npos);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  std::string normal, again;
  if (normalisedRemovalPath(path, normal)) {
    if (path.empty() ? !normal.empty() : !wellFormed(normal)) abort();
    if (!path.empty() && (!normalisedRemovalPath(normal, again) || again != normal)) abort();
  }
  if (path.find('\0') == std::string::npos) (void)checkRemove(path.c_str());
  return 0;
}
