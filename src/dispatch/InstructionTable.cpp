// The instruction table and the name chain.
#include "dispatch/InstructionTable.h"

#include "handlers/command.h"
#include "handlers/directorymd5.h"
#include "handlers/files.h"
#include "handlers/hostinfo.h"
#include "handlers/provisioning.h"
#include "handlers/service.h"
#include "handlers/servicelimits.h"
#include "handlers/shellfiles.h"
#include "handlers/user.h"

std::map<const std::string, Processor> instruction_table;

// Names the exact table does not hold, compared without regard to letter case, in this order.
// clang-format off
const std::vector<NamedInstruction> instruction_chain = {
    {"whereami", whereAmI, kReply},
    {"changepass", changePass, kReply},
    {"addserver", addServer, kReply},
    {"updateserver", updateServer, kReply},
    {"removeserver", removeServer, kReply},
    {"start", startService, kReply},
    {"stop", stopService, kReply},
    {"restart", restartService, kReply},
    {"setlimits", setLimits, kReply},
    {"servicestats", serviceStats, kReply},
    {"deldir", insDelDir, kReply},
    {"movedir", insMoveDir, kReply},
    {"renamefile", insRenameFile, kReply},
    {"deletefile", insDeleteFile, kReply},
    {"writefile", insWriteFile, kReply},
    {"directorymd5", directoryMd5, kReply},
    {"update", runUpdate, kCommand},
    {"version", versionInfo, kReply},
    {"changeshell", changeShell, kReplyOrCommand},
    {"iplist", ipList, kCommand},
    {"extract", extractArchive, kReplyOrCommand},
    {"status", serviceStatus, kCommand},
    {"readfile", insReadFile, kStreamedReply, streamReadFile},
    {"isfile", isFile, kCommand},
    {"isdir", isDir, kCommand},
    {"screenexec", screenExec, kCommand},
    {"sysstats", sysStats, kCommand},
    {"mkdir", makeDir, kCommand},
    {"copydir", copyDir, kCommand},
    {"copyfile", copyFile, kCommand},
    {"downloadfile", downloadFile, kCommand},
    {"filelist", fileList, kCommand},
    {"filelist2", fileList2, kCommand},
    {"openiptable", openIpTable, kCommand},
    {"closeiptable", closeIpTable, kCommand},
    {"gamemonitor", gameMonitor, kCommand},
    {"filesize", fileSize, kCommand},
    {"ping", pingHost, kCommand},
};
// clang-format on

void initInstructions() {
  instruction_table["checkuser"] = Processor{checkUser, true};
  instruction_table["adduser"] = Processor{addUser, true};
  instruction_table["deluser"] = Processor{delUser, true};
  instruction_table["command"] = Processor{insCommand, false};
}
