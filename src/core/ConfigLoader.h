// Reads "kadrel.ini" from the start directory into the process-wide settings, once, at start.
// Runs in the main thread before any other thread exists.
#ifndef KADREL_CORE_CONFIGLOADER_H
#define KADREL_CORE_CONFIGLOADER_H

#include <istream>
#include <string>

// Reads "kadrel.ini"; every failure ends the process with its message, so it returns true.
bool LoadConfig();

// The reading itself, without ending the process: stores what it reads in the settings and
// returns 0 on success or the ErrorCall code of the failure (1 unreadable, 2 a line with an
// empty key or value or no "=", 4 a required setting missing).
int ReadConfigFile(const std::string& path);
int ReadConfig(std::istream& in);

#endif
