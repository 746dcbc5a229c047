// Host information instructions.
#include "handlers/hostinfo.h"

#include "core/Settings.h"

std::string versionInfo(std::vector<std::string>&, std::string&, std::string&) { return version; }
