// Host-program check through whereis.
#include "agent/HostCheck.h"

#include <cstdio>

#include "core/ErrorHandler.h"
#include "core/Settings.h"
#include "dispatch/InstructionParserHelpers.h"

std::string exeCmd(const std::string& cmd) {
  FILE* pipe = popen(cmd.c_str(), "re");
  if (!pipe) Log_err("exeCmd(): cannot open pipe");
  std::string result;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) result += buffer;
  pclose(pipe);
  return result;
}

bool is_installed(const std::string& app) {
  return explode(" ", exeCmd("whereis " + app + " 2>&1")).size() == 1;
}

bool CheckHostPrograms() {
  struct Program {
    const char* name;
    bool required;
  };
  static const Program programs[] = {{"which", true}, {"screen", true}, {"pidof", false},
                                     {"tar", false},  {"bash", false},  {"wget", false}};
  for (const Program& p : programs) {
    if (is_installed(p.name)) {
      Log_warn("\nError: The '%s' program is missing", p.name);
      if (p.required) return false;
    }
  }
  if (settings().shaPasswords && is_installed("mkpasswd"))
    Log_warn("\nError: The 'mkpasswd' program is missing");
  return true;
}
