// kadrel-client: a command-line panel. Connects to an agent, authenticates, sends the
// settings and one or more instructions, and prints each reply.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "client/PanelClient.h"
#include "core/ConfigLoader.h"

static void usage(FILE* out) {
  fprintf(out,
          "usage: kadrel-client [options] INSTRUCTION...\n"
          "  -c, --config FILE      read serverid, passphrase and listenport from a kadrel.ini\n"
          "  -H, --host HOST        agent address (default 127.0.0.1)\n"
          "  -p, --port PORT        agent port (default 240, or listenport of --config)\n"
          "  -s, --sid ID           server id\n"
          "  -k, --passphrase TEXT  passphrase\n"
          "  -u, --user NAME        send \"cmd_user: NAME\" (the account instructions run as)\n"
          "  -r, --return VALUE     send \"cmd_return: VALUE\" (default yes)\n"
          "  -x, --close VALUE      send \"cmd_close: VALUE\" (default yes for one instruction,\n"
          "                         no for several)\n"
          "      --tls              speak TLS, verifying that the agent's certificate names HOST\n"
          "      --cacert FILE      CA certificates (PEM) that sign the agent's (default: the\n"
          "                         system's store)\n"
          "      --cert FILE        with --key: a client certificate (PEM), for an agent that\n"
          "                         asks for one\n"
          "      --key FILE         that certificate's private key (PEM)\n"
          "      --version          print the version and exit\n"
          "      --raw              print replies byte for byte, CR LF included (otherwise\n"
          "                         each reply ends with a line feed, added if missing)\n"
          "Each INSTRUCTION is sent as \"cmd_exec: INSTRUCTION\", e.g. command:_:ls -l /home\n"
          "Exit status: 0 when every instruction was answered, 1 when the agent refused or\n"
          "closed without a reply, 2 for a usage or connection error.\n");
}

int main(int argc, char** argv) {
  std::string host = "127.0.0.1", sid, pass, user, ret = "yes", closeValue;
  int port = 240;
  bool raw = false, portGiven = false, tls = false;
  TlsClientFiles tlsFiles;
  std::string configPath;
  static const option options[] = {{"config", required_argument, nullptr, 'c'},
                                   {"host", required_argument, nullptr, 'H'},
                                   {"port", required_argument, nullptr, 'p'},
                                   {"sid", required_argument, nullptr, 's'},
                                   {"passphrase", required_argument, nullptr, 'k'},
                                   {"user", required_argument, nullptr, 'u'},
                                   {"return", required_argument, nullptr, 'r'},
                                   {"close", required_argument, nullptr, 'x'},
                                   {"raw", no_argument, nullptr, 'R'},
                                   {"tls", no_argument, nullptr, 'T'},
                                   {"cacert", required_argument, nullptr, 'A'},
                                   {"cert", required_argument, nullptr, 'C'},
                                   {"key", required_argument, nullptr, 'K'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
  std::string sidArg, passArg;
  int c;
  while ((c = getopt_long(argc, argv, "c:H:p:s:k:u:r:x:h", options, nullptr)) != -1) {
    switch (c) {
      case 'c':
        configPath = optarg;
        break;
      case 'H':
        host = optarg;
        break;
      case 'p':
        port = atoi(optarg);
        portGiven = true;
        break;
      case 's':
        sidArg = optarg;
        break;
      case 'k':
        passArg = optarg;
        break;
      case 'u':
        user = optarg;
        break;
      case 'r':
        ret = optarg;
        break;
      case 'x':
        closeValue = optarg;
        break;
      case 'R':
        raw = true;
        break;
      case 'T':
        tls = true;
        break;
      case 'A':
        tlsFiles.cafile = optarg;
        break;
      case 'C':
        tlsFiles.certfile = optarg;
        break;
      case 'K':
        tlsFiles.keyfile = optarg;
        break;
      case 'h':
        usage(stdout);
        return 0;
      case 'V':
        printf("kadrel-client %s\n", KADREL_VERSION);
        return 0;
      default:
        usage(stderr);
        return 2;
    }
  }
  if (!configPath.empty()) {
    // The agent's own reader, so the client takes the file exactly as the agent does.
    KadrelConfig config;
    if (!ReadConfigFile(configPath, config)) {
      fprintf(stderr, "kadrel-client: cannot use %s as an agent configuration\n", configPath.c_str());
      return 2;
    }
    sid = config.serverid;
    pass = config.passphrase;
    if (!portGiven) port = config.listenport;
  }
  if (!sidArg.empty()) sid = sidArg;
  if (!passArg.empty()) pass = passArg;
  std::vector<std::string> instructions(argv + optind, argv + argc);
  const bool tlsFilesGiven =
      !tlsFiles.cafile.empty() || !tlsFiles.certfile.empty() || !tlsFiles.keyfile.empty();
  if (sid.empty() || pass.empty() || instructions.empty() || (tlsFilesGiven && !tls)) {
    usage(stderr);
    return 2;
  }
  if (closeValue.empty()) closeValue = instructions.size() > 1 ? "no" : "yes";

  PanelClient client;
  if (tls) {
    // A write to an agent that closed fails instead of ending the client.
    signal(SIGPIPE, SIG_IGN);
    std::string error;
    TlsClientContext context = MakeClientTls(tlsFiles, &error);
    if (!context) {
      fprintf(stderr, "kadrel-client: %s\n", error.c_str());
      return 2;
    }
    client.useTls(context);
  }
  const SessionSettingsToSend settings{sid, pass, user, ret, closeValue};
  std::string failure;
  bool refused = false;
  if (!client.openSession(host, port, settings, &failure, -1, &refused)) {
    fprintf(stderr, "kadrel-client: %s%s\n", refused ? "refused: " : "", failure.c_str());
    return refused ? 1 : 2;
  }
  std::string reply;
  std::string closeLower = closeValue;
  for (char& ch : closeLower) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
  const bool agentCloses = closeLower == "yes";
  for (const std::string& instruction : instructions) {
    if (!client.sendFrame("cmd_exec: " + instruction)) {
      fprintf(stderr, "kadrel-client: connection lost\n");
      return 1;
    }
    bool answered;
    if (agentCloses) {
      // The agent closes after this reply (or after no reply at all).
      reply = client.readUntilClose();
      answered = reply.size() >= 2 && reply.compare(reply.size() - 2, 2, "\r\n") == 0;
      if (answered) reply.resize(reply.size() - 2);
    } else {
      answered = client.readReply(reply);
    }
    if (!answered) {
      fprintf(stderr, "kadrel-client: the agent closed without a reply to \"%s\"\n", instruction.c_str());
      return 1;
    }
    // --raw: the bytes as sent. Otherwise each reply on lines of its own.
    if (raw)
      reply += "\r\n";
    else if (reply.empty() || reply.back() != '\n')
      reply += "\n";
    fwrite(reply.data(), 1, reply.size(), stdout);
  }
  fflush(stdout);
  return 0;
}
