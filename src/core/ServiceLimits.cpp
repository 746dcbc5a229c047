// Limit values in text.
#include "core/ServiceLimits.h"

#include <cctype>
#include <climits>

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
  // The most the kernel takes: a task limit up to PID_MAX_LIMIT, a CPU quota (the percent times
  // 1000 us in each 100 ms period) up to 2^44 - 1 us; bytes as many as 63 bits hold.
  const long long most = kind == LimitKind::Tasks ? 4194304
                         : kind == LimitKind::Cpu ? ((1LL << 44) - 1) / 1000
                                                  : LLONG_MAX;
  if (unit == 0 || n == 0 || n > most / unit) return false;
  value = n * unit;
  return true;
}
