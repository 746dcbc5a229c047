// The instruction table.
#include "dispatch/InstructionTable.h"

#include "core/Settings.h"
#include "handlers/command.h"
#include "handlers/directorymd5.h"
#include "handlers/files.h"
#include "handlers/hostinfo.h"
#include "handlers/provisioning.h"
#include "handlers/service.h"
#include "handlers/servicelimits.h"
#include "handlers/shellfiles.h"
#include "handlers/user.h"

// clang-format off
const std::vector<Instruction> instruction_table = {
    // Only when written exactly so: "Command" is no instruction, and runs as a program.
    {"checkuser", kExactCase, checkUser, kReply},
    {"adduser", kExactCase, addUser, kReply},
    {"deluser", kExactCase, delUser, kReply},
    {"command", kExactCase, insCommand, kCommand},
    // In any letter case.
    {"whereami", kAnyCase, whereAmI, kReply},
    {"changepass", kAnyCase, changePass, kReply},
    {"addserver", kAnyCase, addServer, kReply},
    {"updateserver", kAnyCase, updateServer, kReply},
    {"removeserver", kAnyCase, removeServer, kReply},
    {"start", kAnyCase, startService, kReply},
    {"stop", kAnyCase, stopService, kReply},
    {"restart", kAnyCase, restartService, kReply},
    {"setlimits", kAnyCase, setLimits, kReply},
    {"servicestats", kAnyCase, serviceStats, kReply},
    {"deldir", kAnyCase, insDelDir, kReply},
    {"movedir", kAnyCase, insMoveDir, kReply},
    {"renamefile", kAnyCase, insRenameFile, kReply},
    {"deletefile", kAnyCase, insDeleteFile, kReply},
    {"writefile", kAnyCase, insWriteFile, kReply},
    {"directorymd5", kAnyCase, directoryMd5, kStreamedReply, streamDirectoryMd5},
    {"update", kAnyCase, runUpdate, kCommand},
    {"version", kAnyCase, versionInfo, kReply},
    {"changeshell", kAnyCase, changeShell, kReplyOrCommand},
    {"iplist", kAnyCase, ipList, kCommand},
    {"extract", kAnyCase, extractArchive, kReplyOrCommand},
    {"status", kAnyCase, serviceStatus, kCommand},
    {"readfile", kAnyCase, insReadFile, kStreamedReply, streamReadFile},
    {"isfile", kAnyCase, isFile, kCommand},
    {"isdir", kAnyCase, isDir, kCommand},
    {"screenexec", kAnyCase, screenExec, kCommand},
    {"sysstats", kAnyCase, sysStats, kCommand},
    {"mkdir", kAnyCase, makeDir, kCommand},
    {"copydir", kAnyCase, copyDir, kCommand},
    {"copyfile", kAnyCase, copyFile, kCommand},
    {"downloadfile", kAnyCase, downloadFile, kCommand},
    {"filelist", kAnyCase, fileList, kCommand},
    {"filelist2", kAnyCase, fileList2, kCommand},
    {"openiptable", kAnyCase, openIpTable, kCommand},
    {"closeiptable", kAnyCase, closeIpTable, kCommand},
    {"gamemonitor", kAnyCase, gameMonitor, kCommand},
    {"filesize", kAnyCase, fileSize, kCommand},
    {"ping", kAnyCase, pingHost, kCommand},
};
// clang-format on

const Instruction* findInstruction(const std::string& name) {
  for (const Instruction& row : instruction_table)
    if (row.match == kExactCase ? name == row.name : iequals(name, row.name)) return &row;
  return nullptr;
}

size_t instructionRow(const std::string& name) {
  const Instruction* row = findInstruction(name);
  return row == nullptr ? instruction_table.size() : static_cast<size_t>(row - instruction_table.data());
}

bool Instruction::call(std::vector<std::string>& strlines, std::string& user, std::string& cmddo,
                       std::string& reply, ReplyStream* stream) const {
  if (kind == kStreamedReply && stream != nullptr) {
    streamer(strlines, user, *stream);
    return true;
  }
  reply = function(strlines, user, cmddo);
  return kind == kReply || kind == kStreamedReply || (kind == kReplyOrCommand && !reply.empty());
}
