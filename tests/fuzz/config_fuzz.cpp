// The configuration reader on arbitrary file contents: it must return one of its codes, and
// on success hold the three required settings, none with surrounding white space.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "core/ConfigLoader.h"

static bool trimmed(const std::string& s) {
  return s.empty() ||
         (!isspace(static_cast<unsigned char>(s.front())) && !isspace(static_cast<unsigned char>(s.back())));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  KadrelConfig c;
  const Result read = ReadConfig(in, c);
  if (!read && read.text().empty()) abort();
  if (read && (c.serverid.empty() || c.passphrase.empty() || c.debug.empty())) abort();
  for (const std::string* v : {&c.serverid, &c.passphrase, &c.whitelist, &c.debug, &c.is_sha5, &c.user_group})
    if (!trimmed(*v) || v->find('=') != std::string::npos) abort();
  return 0;
}
