// The normalisation checkRemove compares with the protected paths, on arbitrary paths (only
// looked up, never changed). A normal form is absolute, holds no empty, "." or ".."
// component, has no trailing slash (but "/"), and is its own normal form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "handlers/files.h"

static bool wellFormed(const std::string& n) {
  if (n.empty() || n[0] != '/') return false;
  if (n == "/") return true;
  if (n.back() == '/') return false;
  for (size_t at = 1; at <= n.size();) {
    size_t end = n.find('/', at);
    if (end == std::string::npos) end = n.size();
    const std::string part = n.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return false;
    at = end + 1;
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  std::string normal;
  if (normalisedRemovalPath(path, normal)) {
    if (path.empty() ? !normal.empty() : !wellFormed(normal)) abort();
    std::string again;
    if (!path.empty() && (!normalisedRemovalPath(normal, again) || again != normal)) abort();
  }
  if (path.find('\0') == std::string::npos) (void)checkRemove(path.c_str());
  return 0;
}
