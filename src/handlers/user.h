// Account instructions: "checkuser", "adduser", "deluser" (exact-match table rows),
// "changepass", "changeshell" (command lines) and "whereami" (the agent's start directory).
// The handlers run on the connection's thread and only read the process-wide settings.
#ifndef KADREL_HANDLERS_USER_H
#define KADREL_HANDLERS_USER_H

#include <string>
#include <vector>

std::string whereAmI(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

// "exists", or "" when `id` does not know the account (argument 1).
std::string checkUser(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

// Arguments: login shell, account name, password. Creates the account with its home and the
// hashed password, runs the FTP update hook, removes stale screen directories.
std::string addUser(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

// Argument: account name. Ends the account's processes, deletes it with its home, removes its
// screen directories.
std::string delUser(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

// Arguments: account, password. Runs chpasswd, then the FTP update hook, and answers with their
// output like a command.
std::string changePass(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
// Arguments: account, shell. The chsh command line.
std::string changeShell(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);
// Each account instruction refuses a name that is not a valid account name (validAccountName)
// before anything runs, and a login shell starting with "-": checkuser answers nothing,
// adduser and deluser "User does not exist", changepass and changeshell a lone line feed (what
// they answer for an unknown account); adduser's bad shell "There was a problem while adding
// this user".

// The password in the escaped MD5-crypt form put into command lines: crypt with the fixed salt
// "$1$Vq3nZs8k$", every "$" preceded by a backslash. Throws std::runtime_error when crypt fails.
std::string hashedPassword(const std::string& password);

// The account creation command for this host's system and settings (the host system, user_group,
// the password form): the line to run, what it reads on its standard input (the password, for mkpasswd,
// which never sees it as a word of the line), and the line as the log shows it (a mark in the
// hash's place). Throws std::invalid_argument for a password the chosen form cannot store as
// typed.
struct AddUserCommand {
  std::string line, input, logged;
};
AddUserCommand addUserCommand(const std::string& shell, const std::string& name, const std::string& password);

// The account removal line for this host's system.
std::string delUserLine(const std::string& name);

#endif
