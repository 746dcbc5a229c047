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
  const std::string mark = "<password hash>";
  const struct {
    const char* os;
    const char* group;
    const char* sha5;
    std::string shell, name, password, line, input, logged;
  } rows[] = {
      {"linux", "default", "false", "/bin/bash", "alice", "secret",
       "/usr/sbin/useradd 'alice' -s '/bin/bash' -m -p " + kSecretHash + " ", "",
       "/usr/sbin/useradd 'alice' -s '/bin/bash' -m -p " + mark + " "},
      {"linux", "staff", "0", "/bin/sh", "bob", "secret",
       "/usr/sbin/useradd 'bob' -s '/bin/sh' -m -p " + kSecretHash + " -g 'staff'", "",
       "/usr/sbin/useradd 'bob' -s '/bin/sh' -m -p " + mark + " -g 'staff'"},
      {"linux", "Default", "", "/bin/sh", "bob", "secret",  // only "default" exactly means none
       "/usr/sbin/useradd 'bob' -s '/bin/sh' -m -p " + kSecretHash + " -g 'Default'", "",
       "/usr/sbin/useradd 'bob' -s '/bin/sh' -m -p " + mark + " -g 'Default'"},
      // mkpasswd reads the password on its standard input: no line ever holds it.
      {"linux", "", "true", "/bin/bash", "alice", "-s",
       "/usr/sbin/useradd 'alice' -s '/bin/bash' -m -p `mkpasswd -m sha-512 --stdin` ", "-s\n",
       "/usr/sbin/useradd 'alice' -s '/bin/bash' -m -p `mkpasswd -m sha-512 --stdin` "},
      {"linux", "staff", "TRUE", "/bin/sh;reboot", "alice", "it's $(x)",
       "/usr/sbin/useradd 'alice' -s '/bin/sh;reboot' -m -p `mkpasswd -m sha-512 --stdin` -g 'staff'",
       "it's $(x)\n",
       "/usr/sbin/useradd 'alice' -s '/bin/sh;reboot' -m -p `mkpasswd -m sha-512 --stdin` -g 'staff'"},
      {"FreeBSD", "default", "true", "/bin/sh", "alice", "secret",
       "echo " + kSecretHash + " | /usr/sbin/pw useradd 'alice' -s '/bin/sh' -H -m -g 'wheel'", "",
       "echo " + mark + " | /usr/sbin/pw useradd 'alice' -s '/bin/sh' -H -m -g 'wheel'"},
      {"freebsd", "", "", "/bin/sh", "alice", "secret",
       "echo " + kSecretHash + " | /usr/sbin/pw useradd 'alice' -s '/bin/sh' -H -m -g ", "",
       "echo " + mark + " | /usr/sbin/pw useradd 'alice' -s '/bin/sh' -H -m -g "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.os) + " group " + row.group + " sha5 " + row.sha5);
    const std::string group = row.group, sha5 = row.sha5;  // an empty value is no line at all
    WithSettings keep(settingsFor(row.os, (group.empty() ? "" : "user_group=" + group + "\n") +
                                              (sha5.empty() ? "" : "is_sha5=" + sha5 + "\n")));
    const AddUserCommand command = addUserCommand(row.shell, row.name, row.password);
    EXPECT_EQ(row.line, command.line);
    EXPECT_EQ(row.input, command.input);
    EXPECT_EQ(row.logged, command.logged);
  }
  {
    WithSettings keep(settingsFor("linux", "is_sha5=true\n"));
    // mkpasswd reads one line: these would be stored cut short.
    for (const std::string& cut : {std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)})
      EXPECT_THROW(addUserCommand("/bin/sh", "alice", cut), std::invalid_argument);
    EXPECT_EQ("pkill -u 'alice' ; /usr/sbin/userdel 'alice' -r", delUserLine("alice"));
  }
  WithSettings keep(settingsFor("FREEBSD"));
  EXPECT_EQ("pkill -u 'alice' ; /usr/sbin/pw userdel 'alice' -r", delUserLine("alice"));
}

// The shell lines; changepass and the refusals run (or refuse to run) host programs: the
// sandboxed integration tests cover them, apart from this one name chpasswd would misread.
TEST(AccountLines, ChangeShellLinesAndANameChpasswdWouldMisread) {
  checkRows({
      {"linux", "changeshell:_:alice:_:/bin/sh", "chsh 'alice' -s '/bin/sh'"},
      {"freebsd", "changeshell:_:alice:_:/bin/sh", "chsh -s '/bin/sh' 'alice'"},
      {"linux", "ChangeShell:_:alice:_:/bin/sh;id", "chsh 'alice' -s '/bin/sh;id'"},
      // "root:x" would move the rest of chpasswd's line into the password.
      {"linux", "changepass:_:root:x:_:pw", "\n", true},
  });
}

}  // namespace
