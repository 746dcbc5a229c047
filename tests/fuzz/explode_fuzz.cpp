// explode on an arbitrary delimiter and text: the pieces joined with the delimiter give the
// text back, and no piece holds the delimiter.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "dispatch/InstructionParserHelpers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t n = 1 + data[0] % 4;  // a delimiter of 1 to 4 bytes, like ":_:"
  if (size < 1 + n) return 0;
  const std::string delimiter(reinterpret_cast<const char*>(data + 1), n);
  const std::string text(reinterpret_cast<const char*>(data + 1 + n), size - 1 - n);
  const std::vector<std::string> pieces = explode(delimiter, text);
  std::string joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].find(delimiter) != std::string::npos) abort();
    joined += (i ? delimiter : "") + pieces[i];
  }
  if (joined != text) abort();
  return 0;
}
