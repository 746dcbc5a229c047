// Limit values in text.
#include "core/ServiceLimits.h"

#include <cctype>

#include "core/Settings.h"

bool parseLimit(LimitKind kind, const std::string& text, long long& value) {
  if (iequals(text, "max")) {
    value = kNoLimit;
    return true;
  }
  size_t digits = 0;
  while (digits < text.size() && isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 15) return false;
  long long unit = 1;
  if (digits + 1 == text.size() && kind == LimitKind::Memory) {
    const char suffix = static_cast<char>(toupper(static_cast<unsigned char>(text.back())));
    unit = suffix == 'K' ? 1LL << 10 : suffix == 'M' ? 1LL << 20 : suffix == 'G' ? 1LL << 30 : 0;
  } else if (digits != text.size()) {
    return false;
  }
  const long long n = std::stoll(text.substr(0, digits));
  // 15 digits times 2^30 stays below 2^63.
  if (unit == 0 || n == 0) return false;
  value = n * unit;
  return true;
}
