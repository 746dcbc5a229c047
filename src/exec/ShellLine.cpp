// Command-line composition and quoting.
#include "exec/ShellLine.h"

#include <cstring>

std::string composeLine(const char* tmpl, std::initializer_list<std::string> values) {
  std::string line;
  auto next = values.begin();
  for (const char* p = tmpl; *p; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      if (next != values.end()) line += *next++;
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      line += '%';
      ++p;
    } else {
      line += *p;
    }
  }
  return line;
}

std::string shellQuote(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}
