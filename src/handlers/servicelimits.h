// Each service's own limits and its usage: "setlimits" and "servicestats", and the record the
// agent keeps of every service it started in a control group ("services/<account>/<service id>"
// in its start directory, root's alone, so that no account can change it and it outlives an agent
// restart). Safe to call from any thread.
#ifndef KADREL_HANDLERS_SERVICELIMITS_H
#define KADREL_HANDLERS_SERVICELIMITS_H

#include <string>
#include <vector>

#include "core/ServiceLimits.h"

// The limits a start of the service puts in force: its own where the panel set them, the
// configuration's default otherwise.
ServiceLimits limitsInForce(const std::string& account, const std::string& id);

// Applies to every service group there is the limits in force for it: at start-up, for the
// services that run on from before the agent's restart.
void reapplyServiceLimits();

// Records that a start of the service begins now (servicestats' "since").
void recordServiceStart(const std::string& account, const std::string& id);

// When the current start of the service began (Unix time, as recordServiceStart noted it); -1
// when none was noted.
long long serviceStartTime(const std::string& account, const std::string& id);

// The account's name as the groups and the records use it ("root" for root in any letter case).
std::string groupAccountName(const std::string& user);

// "setlimits:_:<id>:_:<memory>:_:<cpu>:_:<tasks>" for the acting account: "Limits set", "fail",
// or "Limits are not supported on this host".
std::string setLimits(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

// "servicestats:_:<id>" for the acting account: one line of JSON.
std::string serviceStats(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

#endif
