// The server binary and Keldor's ready settings of a generated installation.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "core/helpers.h"
#include "core/owned.h"
#include "installation.h"

namespace keldor::mkinstall {

namespace {

// Stands in for the game server until a real stand-in is given: it only has to
// exist, be executable and stay alive. The short sleeps let it end promptly.
constexpr const char* kPlaceholderServer =
    "#!/bin/sh\n"
    "# Placeholder game server written by mkinstall: it only stays alive.\n"
    "while :; do sleep 1; done\n";

// Writes the whole text and closes the file; false when either failed.
bool WriteAll(FileHandle file, const std::string& text) {
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  return CloseFile(file) && written;
}

bool WriteFile(const std::string& path, const std::string& text) {
  return EnsureFile(path, EnsureMode::kTruncate) &&
         WriteAll(FileHandle(std::fopen(path.c_str(), "wb")), text);
}

// A file that holds passwords is for its owner alone, as Keldor keeps it.
bool WriteSecretFile(const std::string& path, const std::string& text) {
  return MakeDirectories(path.substr(0, path.rfind('/'))) && WriteAll(CreateSecretFile(path), text);
}

}  // namespace

std::string RandomPassword(std::size_t length) {
  static constexpr char kAlphabet[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::random_device device;
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kAlphabet - 2);
  std::string password;
  for (std::size_t i = 0; i < length; ++i) password += kAlphabet[pick(device)];
  return password;
}

bool InstallServerBinary(const InstallOptions& options) {
  const std::string target = options.dir + "/bfv_linded";
  const bool copied = options.serverBinary.empty() ? WriteFile(target, kPlaceholderServer)
                                                   : EnsureFile(target, EnsureMode::kTruncate) &&
                                                         CopyFile(options.serverBinary, target);
  return copied && chmod(target.c_str(), 0755) == 0;
}

// Only the rows an installation needs; Keldor keeps its defaults for the rest
// and writes the whole table back when it saves. The remote console line
// carries the console credentials and port the game server will use.
bool WriteServerManagerFile(const InstallOptions& options, const Credentials& console) {
  char text[1024];
  std::snprintf(text, sizeof text,
                "game.serverName \"Keldor Test Server\"\n"
                "game.serverIP 127.0.0.1\n"
                "game.serverPort %u\n"
                "manager.consolePort %u\n"
                "game.gameSpyPort %u\n"
                "game.gameSpyLANPort %u\n"
                "game.serverInternet 0\n"
                "manager.autoKickWord 1\n"
                "manager.consoleUsername \"%s\"\n"
                "manager.consolePassword \"%s\"\n"
                "admin.enableRemoteConsole %s %s %u\n",
                options.gamePort, options.consolePort, options.queryPort, options.queryPort,
                console.name.c_str(), console.password.c_str(), console.name.c_str(),
                console.password.c_str(), options.consolePort);
  return WriteSecretFile(options.dir + "/mods/bfvietnam/settings/servermanager.con", text);
}

// A short rotation over maps the installation holds, in the game's own commands.
bool WriteRotationFile(const InstallOptions& options) {
  const std::string text =
      "game.setCurrentLevel hue GPM_CQ bfvietnam\n"
      "game.addLevelToRotation hue GPM_CQ bfvietnam\n"
      "game.addLevelToRotation khe_sanh GPM_CQ bfvietnam\n"
      "game.addLevelToRotation operation_hastings GPM_COOP bfvietnam\n";
  return WriteFile(options.dir + "/mods/bfvietnam/settings/servermaplist.con", text);
}

// A word that the simulated players say now and then, so that the chat kick
// can be seen at work without anyone typing.
bool WriteBannedWordsFile(const InstallOptions& options) {
  return WriteFile(options.dir + "/mods/bfvietnam/settings/bannedwords.con", "noob\n");
}

// One administrator with every right, typed as a plain line: Keldor enciphers
// the file the first time it loads it. The keyhash is left empty.
Credentials WriteAdminAccount(const InstallOptions& options) {
  Credentials admin{"admin", RandomPassword(12)};
  const std::string line = admin.name + "," + admin.password + ",,4294967295,1\n";
  if (!WriteSecretFile(options.dir + "/mods/bfvietnam/settings/useraccess.con", line))
    admin.password.clear();
  return admin;
}

}  // namespace keldor::mkinstall
