// Host information instructions.
#include "handlers/hostinfo.h"

#include "core/Settings.h"
#include "exec/InstructionParserHelpers.h"
#include "exec/ShellLine.h"

std::string versionInfo(std::vector<std::string>&, std::string&, std::string&) { return version; }

std::string runUpdate(std::vector<std::string>&, std::string&, std::string& cmddo) {
  cmddo = "./update";
  return std::string();
}

std::string ipList(std::vector<std::string>&, std::string&, std::string& cmddo) {
  if (isFreeBSD()) {
    cmddo = "ifconfig |grep \"inet \" | cut -d ' ' -f 2";
  } else {
    // Older ifconfig prints "inet addr:10.0.0.5  Mask:...", current ifconfig
    // "inet 10.0.0.5  netmask ...": the second word of every "inet" line, without "addr:".
    cmddo = "ifconfig | awk '$1 == \"inet\" { sub(/^addr:/, \"\", $2); print $2 }'";
  }
  return std::string();
}

std::string sysStats(std::vector<std::string>&, std::string&, std::string& cmddo) {
  if (isFreeBSD()) {
    cmddo =
        "MEMINFO=($(vmstat 1 2 | awk 'END{print}' )) ;FREE=($(sysctl vm.stats.vm.v_free_count|cut -d\" \" "
        "-f2)); COUNT=($(sysctl vm.stats.vm.v_page_count|cut -d\" \" -f2)); SIZE=($(sysctl hw.pagesize|cut "
        "-d\" \" -f2));CACHESIZE=($(sysctl vm.stats.vm.v_cache_count|cut -d\" \" -f2)); "
        "CACHETOTAL=$(($CACHESIZE "
        "* $SIZE)); FREETOTAL=$(($FREE * $SIZE)); TOTALMEM=$(($COUNT * $SIZE)); LOADINFO=($(sysctl "
        "vm.loadavg|cut -d\" \" -f3-5)); echo "
        "0::$FREETOTAL::$CACHETOTAL::${MEMINFO[17]}::$TOTALMEM::${LOADINFO[1]}";
  } else {
    cmddo =
        "if vmstat > /dev/null ; then MEMINFO=($(vmstat 1 2 | awk 'END{print}')); else MEMINFO=($(vmstat 1 2 "
        "| "
        "awk 'END{print}')); fi ; MEMTOTAL=($(cat /proc/meminfo | grep MemTotal:)) ;LOADINFO=($(cat "
        "/proc/loadavg)) ; echo "
        "${MEMINFO[2]}::${MEMINFO[3]}::${MEMINFO[5]}::${MEMINFO[14]}::${MEMTOTAL[1]}::${LOADINFO[1]}";
  }
  return std::string();
}

std::string pingHost(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  const std::string host = "-- " + shellQuote(arg(strlines, 1));
  if (isFreeBSD())
    cmddo = composeLine("ping -c 1 %s | grep \"stddev =\" |cut -d\" \" -f4-5 | cut -d\"/\" -f2", {host});
  else
    cmddo = composeLine("ping -c 1 %s | grep \"mdev =\" |cut -d\" \" -f4-5 | cut -d\"/\" -f2", {host});
  return std::string();
}

// Inserts (-I) or deletes (-D) both rules for the address and the port, then saves the rule
// set to element 3. One template for both, so that a close always deletes exactly the rules
// an open inserted: the UDP rule matches the address as source, the TCP rule as destination,
// and saved rule files rely on exactly these rules.
static std::string firewallLine(const char* action, const std::vector<std::string>& strlines) {
  const std::string address = shellQuote(arg(strlines, 1)), port = shellQuote(arg(strlines, 2));
  return composeLine(
      "if [ -f /sbin/iptables ] ; then  iptables %s INPUT -p tcp -d %s --dport %s -j ACCEPT; iptables %s "
      "INPUT "
      "-p udp -s %s --dport %s -j ACCEPT; iptables-save > %s; fi",
      {action, address, port, action, address, port, shellQuote(arg(strlines, 3))});
}

std::string openIpTable(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = firewallLine("-I", strlines);
  return std::string();
}

std::string closeIpTable(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  cmddo = firewallLine("-D", strlines);
  return std::string();
}

std::string gameMonitor(std::vector<std::string>& strlines, std::string&, std::string& cmddo) {
  // The URL and its query are one quoted word. The document goes to a file of this request's
  // own, so that two monitors running in one directory never share one.
  const std::string url = arg(strlines, 2) + "?p=" + arg(strlines, 3) + "&e2=" + arg(strlines, 4);
  cmddo = composeLine(
      "gmtmp=$(mktemp gm.XXXXXXXX) && wget --tries 2 --output-document \"$gmtmp\" --bind-address %s -- %s; "
      "rm -f \"$gmtmp\"",
      {shellQuote(arg(strlines, 1)), shellQuote(url)});
  return std::string();
}
