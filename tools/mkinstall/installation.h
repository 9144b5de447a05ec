// What mkinstall lays out: the game data (mods, level and game archives,
// evolution data), the server binary and Keldor's ready settings.
#pragma once

#include <cstdint>
#include <string>

namespace keldor::mkinstall {

struct InstallOptions {
  std::string dir;
  std::string serverBinary;  // copied to DIR/bfv_linded; empty = a sleeping placeholder
  bool punkBuster = false;
  bool force = false;            // lay the installation over an existing one
  std::uint16_t listenPort = 0;  // 0 = pick a free one
  std::uint16_t consolePort = 0;
  std::uint16_t gamePort = 0;
  std::uint16_t queryPort = 0;
  // Extra mods, each with its own init.con and this many small level
  // archives, for installations far larger than the demo one.
  int extraMods = 0;
  int mapsPerMod = 0;
};

struct Credentials {
  std::string name;
  std::string password;
};

// The mods, maps and archives under DIR/mods, and pb/pbsv.so when asked for.
bool WriteGameData(const InstallOptions& options);

// DIR/bfv_linded, executable.
bool InstallServerBinary(const InstallOptions& options);

// DIR/mods/bfvietnam/settings/servermanager.con with the loopback address and the ports.
bool WriteServerManagerFile(const InstallOptions& options, const Credentials& console);

// bannedwords.con with a word the simulated players use (chat kicks are on).
bool WriteBannedWordsFile(const InstallOptions& options);

// The one administrator account of the installation.
Credentials WriteAdminAccount(const InstallOptions& options);

// servermaplist.con: the rotation Keldor copies over the game's maplist.con.
bool WriteRotationFile(const InstallOptions& options);

// A random text of letters and digits for passwords.
std::string RandomPassword(std::size_t length);

}  // namespace keldor::mkinstall
