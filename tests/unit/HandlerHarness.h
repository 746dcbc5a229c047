// Test support for handlers: the agent's settings given for a scope, and rows of {operating system,
// instruction, expected command line or reply} checked through the real routing without a socket and without
// running anything.
#ifndef KADREL_TESTS_UNIT_HANDLERHARNESS_H
#define KADREL_TESTS_UNIT_HANDLERHARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSettings.h"
#include "dispatch/InstructionParser.h"
#include "dispatch/InstructionParserHelpers.h"
#include "session/SocketParser.h"

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
    WithSettings keep(settingsFor(row.os));
    Routed got = routeOnly(row.instruction, user);
    EXPECT_EQ(row.isReply, got.isReply);
    EXPECT_EQ(row.expected, got.text);
  }
}

#endif
