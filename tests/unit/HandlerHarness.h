// Test support for handlers: a scoped override of the process-wide settings that restores
// them, and rows of {operating system, instruction, expected command line or reply} checked
// through the real routing without a socket and without running anything.
#ifndef KADREL_TESTS_UNIT_HANDLERHARNESS_H
#define KADREL_TESTS_UNIT_HANDLERHARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/Settings.h"
#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"
#include "session/SocketParser.h"

// Saves serveros, user_group, is_sha5, debug and the session settings; restores them when it
// goes out of scope, so no test leaks a setting into the next.
class ScopedSettings {
 public:
  ScopedSettings()
      : serveros_(serveros),
        user_group_(user_group),
        is_sha5_(is_sha5),
        debug_(debug),
        session_(currentSessionSettings()) {}
  ~ScopedSettings() {
    serveros = serveros_;
    user_group = user_group_;
    is_sha5 = is_sha5_;
    debug = debug_;
    setSessionSettings(session_);
  }
  ScopedSettings(const ScopedSettings&) = delete;
  ScopedSettings& operator=(const ScopedSettings&) = delete;

 private:
  std::string serveros_, user_group_, is_sha5_, debug_;
  SessionSettings session_;
};

// What the routing made of one instruction: the reply of a reply handler, or the command line
// a command handler composed (which is not run).
struct Routed {
  bool isReply;
  std::string text;
};

inline Routed routeOnly(const std::string& instruction, std::string user = "root") {
  std::vector<std::string> strlines = explode(":_:", instruction);
  std::string cmddo, reply;
  bool isReply = RouteInstruction(strlines, user, cmddo, reply);
  return Routed{isReply, isReply ? reply : cmddo};
}

// One handler case: under `os` ("linux" or "freebsd"), `instruction` as the panel sends it
// composes `expected` (a command line, or the reply when `isReply`).
struct HandlerRow {
  const char* os;
  std::string instruction;
  std::string expected;
  bool isReply = false;
};

inline void checkRows(const std::vector<HandlerRow>& rows, const std::string& user = "root") {
  for (const HandlerRow& row : rows) {
    SCOPED_TRACE(std::string(row.os) + ": " + row.instruction);
    ScopedSettings keep;
    serveros = row.os;
    Routed got = routeOnly(row.instruction, user);
    EXPECT_EQ(row.isReply, got.isReply);
    EXPECT_EQ(row.expected, got.text);
  }
}

#endif
