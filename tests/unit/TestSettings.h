// The agent's settings given to a test for a scope: made from kadrel.ini lines, as the agent
// makes them, and put back afterwards together with the session settings.
#ifndef KADREL_TESTS_UNIT_TESTSETTINGS_H
#define KADREL_TESTS_UNIT_TESTSETTINGS_H

#include <sstream>
#include <string>

#include "core/ConfigLoader.h"
#include "core/Settings.h"
#include "session/SessionMessages.h"

// The settings of an empty configuration, with the command lines of `os` ("linux" or
// "freebsd", any letter case).
inline Settings settingsFor(const std::string& os, const std::string& extraIniLines = "") {
  KadrelConfig config;
  std::istringstream ini(extraIniLines);
  ReadConfig(ini, config);  // a partial configuration: the missing required keys do not matter
  Settings s = SettingsFrom(config);
  s.os = iequals(os, "freebsd") ? HostSystem::FreeBSD : HostSystem::Linux;
  return s;
}

// Runs the agent's code with `s` as its settings while in scope; then the earlier settings and
// session settings are back, so no test leaks a setting into the next.
struct WithSettings {
  explicit WithSettings(const Settings& s) { UseSettings(s); }
  ~WithSettings() {
    UseSettings(saved);
    setSessionSettings(session);
  }
  const Settings saved = settings();
  const SessionSettings session = currentSessionSettings();
};

#endif
