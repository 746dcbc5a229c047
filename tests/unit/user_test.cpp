// The account lines composed on Linux and FreeBSD: templates, quoting of names, shells and
// passwords, the escaped hash, the group option and the choice of the password form.
#include "handlers/user.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "HandlerHarness.h"

namespace {

// openssl passwd -1 -salt Vq3nZs8k secret, escaped.
const std::string kSecretHash = "\\$1\\$Vq3nZs8k\\$7gRNJBbPubb2l0s74eUN5/";

TEST(AccountLines, HashedPasswordIsTheEscapedMd5CryptWithTheFixedSalt) {
  EXPECT_EQ(kSecretHash, hashedPassword("secret"));
  EXPECT_EQ("\\$1\\$Vq3nZs8k\\$K94.r78xycZ0XaLCGQvIX0", hashedPassword("a;b$(touch /tmp/x)'\""));
  EXPECT_THROW(hashedPassword(std::string("ab\0cd", 5)), std::invalid_argument);
}

TEST(AccountLines, AddUserAndDelUserLinesOnEachSystemAndSetting) {
  const struct {
    const char* os;
    const char* group;
    const char* sha5;
    std::string shell, name, password, expected;
  } rows[] = {
      {"linux", "default", "false", "/bin/bash", "alice", "secret",
       "/usr/sbin/useradd 'alice' -s '/bin/bash' -m -p " + kSecretHash + " "},
      {"linux", "staff", "0", "/bin/sh", "bob", "secret",
       "/usr/sbin/useradd 'bob' -s '/bin/sh' -m -p " + kSecretHash + " -g 'staff'"},
      {"linux", "Default", "", "/bin/sh", "bob", "secret",  // only "default" exactly means none
       "/usr/sbin/useradd 'bob' -s '/bin/sh' -m -p " + kSecretHash + " -g 'Default'"},
      {"linux", "", "true", "/bin/bash", "alice", "-s",
       "/usr/sbin/useradd 'alice' -s '/bin/bash' -m -p `mkpasswd -m sha-512 -- '-s'` "},
      {"linux", "staff", "TRUE", "/bin/sh;reboot", "alice", "it's $(x)",
       "/usr/sbin/useradd 'alice' -s '/bin/sh;reboot' -m -p `mkpasswd -m sha-512 -- 'it'\\''s $(x)'` -g "
       "'staff'"},
      {"FreeBSD", "default", "true", "/bin/sh", "alice", "secret",
       "echo " + kSecretHash + " | /usr/sbin/pw useradd 'alice' -s '/bin/sh' -H -m -g 'wheel'"},
      {"freebsd", "", "", "/bin/sh", "alice", "secret",
       "echo " + kSecretHash + " | /usr/sbin/pw useradd 'alice' -s '/bin/sh' -H -m -g "},
      {"freebsd", "staff", "", "/bin/sh", "alice", "secret",
       "echo " + kSecretHash + " | /usr/sbin/pw useradd 'alice' -s '/bin/sh' -H -m -g 'staff'"},
  };
  for (const auto& row : rows) {
    ScopedSettings keep;
    serveros = row.os;
    user_group = row.group;
    is_sha5 = row.sha5;
    EXPECT_EQ(row.expected, addUserLine(row.shell, row.name, row.password))
        << row.os << " group " << row.group << " sha5 " << row.sha5;
  }
  ScopedSettings keep;
  serveros = "linux";
  EXPECT_EQ("pkill -u 'alice' ; /usr/sbin/userdel 'alice' -r", delUserLine("alice"));
  serveros = "FREEBSD";
  EXPECT_EQ("pkill -u 'alice' ; /usr/sbin/pw userdel 'alice' -r", delUserLine("alice"));
}

TEST(AccountLines, PasswordAndShellCommands) {
  const std::string hook =
      " | /usr/sbin/chpasswd ; if [ -f /scripts/ftpupdate ] ; then /scripts/ftpupdate; fi;";
  checkRows({
      {"linux", "changepass:_:alice:_:secret", "echo 'alice':'secret'" + hook},
      {"linux", "changepass:_:alice:_:a;b$(touch /tmp/x)'\"",
       "echo 'alice':'a;b$(touch /tmp/x)'\\''\"'" + hook},
      {"linux", "changepass:_:alice:_:p:w", "echo 'alice':'p:w'" + hook},
      // chpasswd reads one "name:password" per line: these cannot be set as typed, nothing runs.
      {"linux", "changepass:_:alice:_:x\nroot:owned", ""},
      {"linux", "changepass:_:root:x:_:pw", ""},
      {"linux", "changeshell:_:alice:_:/bin/sh", "chsh 'alice' -s '/bin/sh'"},
      {"freebsd", "changeshell:_:alice:_:/bin/sh", "chsh -s '/bin/sh' 'alice'"},
      {"linux", "ChangeShell:_:alice:_:/bin/sh;id", "chsh 'alice' -s '/bin/sh;id'"},
      {"linux", "changeshell", "chsh '' -s ''"},
  });
}

}  // namespace
