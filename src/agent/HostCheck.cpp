// Host-program check through whereis, run by the command runner like every other command.
#include "agent/HostCheck.h"

#include "core/Log.h"
#include "core/Settings.h"
#include "exec/CommandRunner.h"
#include "exec/InstructionParserHelpers.h"

bool isMissing(const std::string& app) {
  // whereis names the program, then each place it found: the name alone means none. A whereis
  // that could not be started counts as missing too.
  const Valued<std::string> found = runCommand("whereis " + app + " 2>&1", "root");
  return !found || explode(" ", found.value()).size() == 1;
}

bool CheckHostPrograms() {
  struct Program {
    const char* name;
    bool required;
  };
  static const Program programs[] = {{"which", true}, {"screen", true}, {"pidof", false},
                                     {"tar", false},  {"bash", false},  {"wget", false}};
  for (const Program& p : programs) {
    if (isMissing(p.name)) {
      Log_warn("\nError: The '%s' program is missing", p.name);
      if (p.required) return false;
    }
  }
  if (settings().shaPasswords && isMissing("mkpasswd"))
    Log_warn("\nError: The 'mkpasswd' program is missing");
  return true;
}
