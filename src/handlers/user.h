// Account instructions: "checkuser", "adduser", "deluser" (matched in small letters only),
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
// hashed password (MD5-crypt with a fixed salt, or SHA-512 through mkpasswd with is_sha5), runs
// the FTP update hook, removes stale screen directories. Neither the password nor its hash is
// ever a word of a command line or a log line: the programs read them on their standard input.
// On Linux useradd makes the account and chpasswd then stores the hash; when the hash is not
// stored, the account is removed again and adduser fails.
std::string addUser(std::vector<std::string>& strlines, std::string& user, std::string& cmddo);

// The account creation line for this host's system and settings, and what it reads on its
// standard input. On FreeBSD pw reads the hash there; on Linux useradd makes the account
// without a password, which chpasswd then gives it. No hash is ever a word of the line.
struct AddUserCommand {
  std::string line, input;
};
AddUserCommand addUserCommand(const std::string& shell, const std::string& name, const std::string& hash);

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

#endif
