// Composed command lines of the shell-backed file and host instructions, on both systems:
// each data value one quoted word ("--" before it where the program takes it), shell text by
// design verbatim, and the system-specific forms chosen by the host system the agent is built for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "HandlerHarness.h"

namespace {

// A value that would split, expand or pass as an option if it reached the shell unquoted.
const std::string kOdd = "-my dir/it's $(id);*";
const std::string kOddQ = "'-my dir/it'\\''s $(id);*'";

// Rows whose line is the same on Linux and FreeBSD.
std::vector<HandlerRow> onBothSystems(const std::vector<HandlerRow>& rows) {
  std::vector<HandlerRow> both;
  for (const char* os : {"linux", "freebsd"})
    for (HandlerRow row : rows) {
      row.os = os;
      both.push_back(row);
    }
  return both;
}

TEST(ShellFileLines, EveryTemplateQuotesItsDataWordsAndRefusesAUrlOption) {
  checkRows(onBothSystems({
      {"", "isfile:_:" + kOdd, "if [ -f " + kOddQ + " ] ; then echo valid; fi"},
      {"", "ISDIR:_:a b", "if [ -d 'a b' ] ; then echo valid; fi"},
      {"", "mkdir:_:" + kOdd, "mkdir -p -- " + kOddQ},
      {"", "copydir:_:" + kOdd + ":_:to dir", "cp -R -- " + kOddQ + "/* 'to dir'"},
      {"", "copyfile:_:" + kOdd + ":_:-t", "cp -- " + kOddQ + " '-t'"},
      {"", "downloadfile:_:http://h/a b?x=1&y=2:_:" + kOdd,
       "wget --no-check-certificate 'http://h/a b?x=1&y=2' -O " + kOddQ},
      {"", "filelist:_:" + kOdd, "ls -x1 -- " + kOddQ},
      {"", "filelist2:_:" + kOdd, "ls -sXhx1la --time-style iso -- " + kOddQ},
      {"", "filesize:_:" + kOdd, "du -b -- " + kOddQ},
      // Missing elements read as empty words, so the line stays well-formed.
      {"", "isfile", "if [ -f '' ] ; then echo valid; fi"},
      {"", "copyfile:_:a", "cp -- 'a' ''"},
      {"", "Update:_:ignored", "./update"},
      // A URL that wget would take as an option: nothing runs.
      {"", "downloadfile:_:--execute=x:_:target", ""},
      {"", "downloadfile:_:-:_:target", ""},
  }));
}

TEST(ShellFileLines, CopydirOfAnEmptySourceOrTheRootDirectoryCopiesNothing) {
  // "<source>/*" of any of these is every top-level directory of the host.
  for (const char* source : {"", "/", "//", "///", "/.", "/./", "/..", "//..", "/home/..", "/.//./"}) {
    checkRows(onBothSystems({{"", std::string("copydir:_:") + source + ":_:dest", ""}}));
    checkRows(onBothSystems({{"", std::string("copydir:_:") + source + ":_:dest", ""}}), "bob");
  }
  // From the account's home, "../.." is the root directory too; "..", "/home" and "/." below
  // the root are ordinary sources.
  checkRows(onBothSystems({{"", "copydir:_:../..:_:dest", ""}}), "bob");
  checkRows(onBothSystems({
                {"", "copydir:_:..:_:dest", "cp -R -- '..'/* 'dest'"},
                {"", "copydir:_:/home/.:_:dest", "cp -R -- '/home/.'/* 'dest'"},
                {"", "copydir:_://srv:_:dest", "cp -R -- '//srv'/* 'dest'"},
            }),
            "bob");
}

TEST(ShellFileLines, ExtractChecksTheArchiveFromTheStartDirectory) {
  char tmpl[] = "/tmp/kadrel-extract.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, archive = dir + "/a b's.tar.gz";
  ASSERT_TRUE(fclose(fopen(archive.c_str(), "w")) == 0);
  checkRows(onBothSystems({
      // Element 3 is the panel's unpack command, verbatim; element 2 is not used.
      {"", "extract:_:bob:_:unused:_:tar -xzf:_:" + archive,
       "cd /home/'bob'/ ; tar -xzf '" + dir + "/a b'\\''s.tar.gz' > /dev/null"},
      {"", "EXTRACT:_:b o:_::_:unzip -o:_:" + archive,
       "cd /home/'b o'/ ; unzip -o '" + dir + "/a b'\\''s.tar.gz' > /dev/null"},
      {"", "extract:_:bob:_::_:tar -xzf:_:" + dir + "/missing.tar.gz", "Archive is not found", true},
      {"", "extract:_:bob", "Archive is not found", true},
  }));
  unlink(archive.c_str());
  rmdir(dir.c_str());
}

TEST(HostInfoLines, SystemSpecificForms) {
  const std::string bsdStats =
      "MEMINFO=($(vmstat 1 2 | awk 'END{print}' )) ;FREE=($(sysctl vm.stats.vm.v_free_count|cut -d\" \" "
      "-f2)); "
      "COUNT=($(sysctl vm.stats.vm.v_page_count|cut -d\" \" -f2)); SIZE=($(sysctl hw.pagesize|cut -d\" \" "
      "-f2));CACHESIZE=($(sysctl vm.stats.vm.v_cache_count|cut -d\" \" -f2)); CACHETOTAL=$(($CACHESIZE * "
      "$SIZE)); "
      "FREETOTAL=$(($FREE * $SIZE)); TOTALMEM=$(($COUNT * $SIZE)); LOADINFO=($(sysctl vm.loadavg|cut -d\" \" "
      "-f3-5)); echo 0::$FREETOTAL::$CACHETOTAL::${MEMINFO[17]}::$TOTALMEM::${LOADINFO[1]}";
  const std::string linuxStats =
      "if vmstat > /dev/null ; then MEMINFO=($(vmstat 1 2 | awk 'END{print}')); else MEMINFO=($(vmstat 1 2 | "
      "awk 'END{print}')); fi ; MEMTOTAL=($(cat /proc/meminfo | grep MemTotal:)) ;LOADINFO=($(cat "
      "/proc/loadavg)) ; echo ${MEMINFO[2]}::${MEMINFO[3]}::${MEMINFO[5]}::${MEMINFO[14]}::${MEMTOTAL[1]}::${"
      "LOADINFO[1]}";
  const std::string linuxIps = "ifconfig | awk '$1 == \"inet\" { sub(/^addr:/, \"\", $2); print $2 }'";
  checkRows({
      {"freebsd", "iplist", "ifconfig |grep \"inet \" | cut -d ' ' -f 2"},
      {"linux", "iplist", linuxIps},
      {"", "iplist", linuxIps},
      {"FREEBSD", "sysstats", bsdStats},
      {"linux", "sysstats", linuxStats},
      {"freebsd", "ping:_:" + kOdd,
       "ping -c 1 -- " + kOddQ + " | grep \"stddev =\" |cut -d\" \" -f4-5 | cut -d\"/\" -f2"},
      {"linux", "Ping:_:127.0.0.1",
       "ping -c 1 -- '127.0.0.1' | grep \"mdev =\" |cut -d\" \" -f4-5 | cut -d\"/\" -f2"},
  });
}

TEST(HostInfoLines, FirewallAndMonitorQuoteEveryValue) {
  checkRows(onBothSystems({
      {"", "openiptable:_:10.0.0.5:_:27015:_:rules file",
       "if [ -f /sbin/iptables ] ; then  iptables -I INPUT -p tcp -d '10.0.0.5' --dport '27015' -j ACCEPT; "
       "iptables -I INPUT -p udp -s '10.0.0.5' --dport '27015' -j ACCEPT; iptables-save > 'rules file'; fi"},
      {"", "closeiptable:_:1.2.3.4;x:_:1:_:/etc/r",
       "if [ -f /sbin/iptables ] ; then  iptables -D INPUT -p tcp -d '1.2.3.4;x' --dport '1' -j ACCEPT; "
       "iptables -D INPUT -p udp -s '1.2.3.4;x' --dport '1' -j ACCEPT; iptables-save > '/etc/r'; fi"},
      // The URL, "?p=", element 3, "&e2=" and element 4 are one word; e2 is sent even when empty.
      {"", "gamemonitor:_:127.0.0.1:_:http://m/q.php:_:a b:_:",
       "gmtmp=$(mktemp gm.XXXXXXXX) && wget --tries 2 --output-document \"$gmtmp\" --bind-address "
       "'127.0.0.1' "
       "-- 'http://m/q.php?p=a b&e2='; rm -f \"$gmtmp\""},
      {"", "gamemonitor:_:-x:_:u:_:it's:_:$(id)",
       "gmtmp=$(mktemp gm.XXXXXXXX) && wget --tries 2 --output-document \"$gmtmp\" --bind-address '-x' "
       "-- 'u?p=it'\\''s&e2=$(id)'; rm -f \"$gmtmp\""},
  }));
}

}  // namespace
