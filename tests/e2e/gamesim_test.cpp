// gamesim, the stand-in game server, on its own: its command line and crash
// status, the sections of a status reply, reproducible games, and its remote
// console (settings, player list, events, output, bans, input beyond its
// bounds). Its pid file, quit, crashes, probed status port, login, maps, pause,
// messages and mute switch are exercised through keldor in server_test,
// dispatch_server_test and client_test. The clients here are written apart
// from keldor's so that the two cannot share a mistake.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "process_support.h"

namespace gamesim_test {
namespace {

using keldor::testing::Exists;
using keldor::testing::ReadFile;
using keldor::testing::TempDir;
using keldor::testing::WriteFile;

// The settings files of a small installation with the console on `consolePort`
// (user "User", password "Secret") and the LAN status port `statusPort`.
struct Install {
  std::string dir;          // server directory
  std::string settingsDir;  // mods/bfvietnam/settings, or the overlay's settings
  int consolePort = 0;
  int statusPort = 0;
};
void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back((value >> shift) & 0xFF);
}

// Reads one zero-terminated string at `at`; false at the end of the datagram.
bool TakeText(const std::vector<std::uint8_t>& data, std::size_t& at, std::string& text) {
  if (at >= data.size()) return false;
  const auto* start = data.data() + at;
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(start, 0, data.size() - at));
  if (!end) return false;
  text.assign(reinterpret_cast<const char*>(start), end - start);
  at += text.size() + 1;
  return true;
}

// A player or team section: skipped byte, signed count, names, values.
bool TakeSection(const std::vector<std::uint8_t>& data, std::size_t& at,
                 std::map<std::string, std::string>& out) {
  if (at + 2 > data.size()) return false;
  const int count = static_cast<std::int8_t>(data[at + 1]);
  at += 2;
  std::vector<std::string> names;
  std::string name;
  while (TakeText(data, at, name) && !name.empty()) names.push_back(name);
  for (int i = 0; i < count; ++i) {
    for (const std::string& field : names) {
      std::string value;
      if (!TakeText(data, at, value)) return false;
      out[field + std::to_string(i)] = value;
    }
  }
  return true;
}

Install MakeInstall(const std::string& dir, const std::string& settingsDir,
                    const std::string& extraSettings = "", const std::string& extraAutoexec = "") {
  Install install{dir, settingsDir, keldor::e2e::FreePort(), keldor::e2e::FreePort(SOCK_DGRAM)};
  WriteFile(settingsDir + "/serversettings.con",
            "game.serverName \"Test Server\"\n"
            "game.serverIP 127.0.0.1\n"
            "game.serverPort 15567\n"
            "game.gameSpyLANPort " +
                std::to_string(install.statusPort) +
                "\n"
                "game.serverMaxPlayers 16\n"
                "game.serverInternet 0\n" +
                extraSettings);
  WriteFile(settingsDir + "/serverautoexec.con",
            "admin.timeLimit 1200\n"
            "admin.soldierFFRatio 0.75\n"
            "admin.enableRemoteConsole User Secret " +
                std::to_string(install.consolePort) + "\n" + extraAutoexec);
  WriteFile(settingsDir + "/maplist.con",
            "game.setCurrentLevel hue_city GPM_CQ bfvietnam\n"
            "game.addLevelToRotation hue_city GPM_CQ bfvietnam\n"
            "game.addLevelToRotation ia_drang GPM_COOP bfvietnam\n");
  return install;
}

// The real gamesim binary, started in a directory; ended by the test by pid.
class GameSim : public keldor::e2e::Process {
 public:
  GameSim(const std::string& dir, const std::vector<std::string>& args)
      : Process(keldor::e2e::BinaryPath("gamesim"), args, dir, "/dev/null"), dir_(dir) {}
  // Waits until the control socket answers; false when the process died first.
  bool WaitReady() {
    return keldor::e2e::WaitFor(
               [this] { return Wait(0) || Control("players").rfind("ok", 0) == 0; }, 10) &&
           !Wait(0);
  }
  std::optional<int> WaitExit() { return Wait(20); }
  // One control command and its answer line.
  std::string Control(const std::string& line) { return keldor::e2e::GameSimControl(dir_, line); }

 private:
  std::string dir_;
};

std::vector<std::uint8_t> StringList(const std::vector<std::string>& strings) {
  std::vector<std::uint8_t> bytes;
  PutU32(bytes, static_cast<std::uint32_t>(strings.size()));
  for (const std::string& text : strings) {
    PutU32(bytes, static_cast<std::uint32_t>(text.size() + 1));
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  return bytes;
}

// A console client as a game administrator's tool would be.
class Console {
 public:
  ~Console() {
    if (socket_ >= 0) close(socket_);
  }

  bool Connect(int port) {
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    SetReceiveTimeout(5);
    return connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
           Receive(key_, sizeof key_);
  }

  void SetReceiveTimeout(int seconds) {
    const timeval limit{seconds, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }

  int Login(const std::string& user, const std::string& password) {
    std::vector<std::uint8_t> bytes;
    for (const std::string* text : {&user, &password}) {
      PutU32(bytes, static_cast<std::uint32_t>(text->size() + 1));
      for (std::size_t i = 0; i < text->size(); ++i) {
        bytes.push_back(static_cast<std::uint8_t>((*text)[i]) ^ key_[i % 10]);
      }
      bytes.push_back(0);
    }
    std::uint8_t verdict = 0;
    if (!SendRaw(bytes) || !Receive(&verdict, 1)) return -1;
    return verdict;
  }

  std::optional<std::vector<std::string>> Command(const std::string& text) {
    std::vector<std::string> strings{"ConsoleMessage 0"};
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) strings.push_back(line);
    strings.push_back("\r");
    if (!SendRaw(StringList(strings))) return std::nullopt;
    return ReadList();
  }

  std::optional<std::vector<std::string>> Output() {
    if (!SendRaw(StringList({"ConsoleRun 0", ""}))) return std::nullopt;
    return ReadList();
  }

  bool SendRaw(const std::vector<std::uint8_t>& bytes) {
    return send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  std::optional<std::vector<std::string>> ReadList() {
    std::uint8_t word[4];
    if (!Receive(word, 4)) return std::nullopt;
    const std::uint32_t count =
        word[0] | word[1] << 8 | word[2] << 16 | std::uint32_t{word[3]} << 24;
    std::vector<std::string> strings;
    for (std::uint32_t i = 0; i < count && i < 10000; ++i) {
      if (!Receive(word, 4)) return std::nullopt;
      const std::uint32_t length =
          word[0] | word[1] << 8 | word[2] << 16 | std::uint32_t{word[3]} << 24;
      if (length == 0 || length > 1000000) return std::nullopt;
      std::string text(length, '\0');
      if (!Receive(text.data(), length)) return std::nullopt;
      if (text.back() != '\0') return std::nullopt;
      text.pop_back();
      strings.push_back(text);
    }
    return strings;
  }

  bool PeerClosed() {
    char byte;
    return recv(socket_, &byte, 1, 0) == 0;
  }

  bool Receive(void* data, std::size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
      const ssize_t got = recv(socket_, bytes, size, 0);
      if (got <= 0) return false;
      bytes += got;
      size -= static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int socket_ = -1;
  std::uint8_t key_[10] = {};
};

std::optional<std::map<std::string, std::string>> QueryStatus(int port, bool info, bool players,
                                                              bool teams) {
  const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  const timeval limit{3, 0};
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::uint8_t request[10] = {0xFE,
                                    0xFD,
                                    0x00,
                                    0x12,
                                    0x34,
                                    0x56,
                                    0x78,
                                    static_cast<std::uint8_t>(info ? 0xFF : 0),
                                    static_cast<std::uint8_t>(players ? 0xFF : 0),
                                    static_cast<std::uint8_t>(teams ? 0xFF : 0)};
  sendto(socket, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  std::vector<std::uint8_t> data(65536);
  const ssize_t got = recv(socket, data.data(), data.size(), 0);
  close(socket);
  if (got < 5 || std::memcmp(data.data() + 1, request + 3, 4) != 0) return std::nullopt;
  data.resize(static_cast<std::size_t>(got));
  std::map<std::string, std::string> values;
  std::size_t at = 5;
  if (info) {
    std::string key;
    std::string value;
    while (TakeText(data, at, key) && !key.empty()) {
      if (!TakeText(data, at, value)) return std::nullopt;
      values[key] = value;
    }
  }
  if (players && !TakeSection(data, at, values)) return std::nullopt;
  if (teams && !TakeSection(data, at, values)) return std::nullopt;
  return values;
}

// The fields of a game.listPlayers line, found by the markers the daemon uses.
struct ListedPlayer {
  int id = 0;
  std::string name;
  std::string ip;
  std::string keyhash;
};
std::optional<ListedPlayer> ParsePlayerLine(const std::string& line) {
  ListedPlayer player;
  const auto colon = line.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto space = line.find(' ', colon);
  if (space == std::string::npos) return std::nullopt;
  player.id = std::atoi(line.substr(colon + 1, space - colon - 1).c_str());
  const auto remote = line.find("is remote", space + 3);
  if (remote == std::string::npos || remote < space + 4) return std::nullopt;
  player.name = line.substr(space + 3, remote - 1 - (space + 3));
  if (line.compare(remote + 10, 3, "ip:") != 0) return std::nullopt;
  const auto portColon = line.find(':', remote + 14);
  if (portColon == std::string::npos) return std::nullopt;
  player.ip = line.substr(remote + 14, portColon - (remote + 14));
  const auto hash = line.find("hash:", portColon);
  player.keyhash = hash == std::string::npos ? "[unknown]" : line.substr(hash + 5);
  return player;
}

std::vector<std::string> PlayerLines(int consolePort) {
  Console console;
  if (!console.Connect(consolePort) || console.Login("User", "Secret") != 1) return {};
  return console.Command("game.listPlayers").value_or(std::vector<std::string>{});
}

TEST(GameSimProcess, RefusesArgumentsItCannotTake) {
  TempDir dir;
  GameSim bad(dir.path(), {"--seed", "many"});
  EXPECT_EQ(bad.WaitExit(), 2);
  GameSim missing(dir.path(), {"+statusMonitor"});
  EXPECT_EQ(missing.WaitExit(), 2);
}

TEST(GameSimProcess, CrashesWithTheChosenStatusLeavingItsPidFile) {
  TempDir dir;
  MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
  GameSim sim(dir.path(), {});
  ASSERT_TRUE(sim.WaitReady());
  EXPECT_EQ(sim.Control("crash 300"), "error the status is 0 to 255");
  sim.Control("crash 42");
  EXPECT_EQ(sim.WaitExit(), 42);
  EXPECT_TRUE(Exists(dir.path() + "/bfvietnam.pid"));
}

TEST(GameSimStatus, EchoesTheRequestAndFillsTheSectionsAsked) {
  TempDir dir;
  const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings",
                                      "game.serverPunkBuster 1\n", "admin.setNrOfRounds -1\n");
  GameSim sim(dir.path(), {"--bots", "1"});
  ASSERT_TRUE(sim.WaitReady());
  ASSERT_EQ(sim.Control("add Frank team=2 score=17 ping=85"), "ok 2");
  sim.Control("set 2 kills 5");
  sim.Control("set 2 deaths 3");

  const auto info = QueryStatus(install.statusPort, true, false, false);
  ASSERT_TRUE(info.has_value());
  for (const char* key :
       {"hostport",         "hostname",        "mapname",  "gametype",      "gamemode",
        "numplayers",       "maxplayers",      "gamever",  "sv_punkbuster", "timelimit",
        "number_of_rounds", "tickets1",        "tickets2", "game_id",       "Number Of Rounds",
        "Ticket Ratio",     "roundTimeRemain", "password", "tk_mode",       "content_check"}) {
    EXPECT_EQ(info->count(key), 1u) << key;
  }
  EXPECT_EQ(info->at("hostname"), "Test Server");
  EXPECT_EQ(info->at("hostport"), "15567");
  EXPECT_EQ(info->at("numplayers"), "2");
  EXPECT_EQ(info->at("sv_punkbuster"), "1");
  EXPECT_EQ(info->at("gamever"), "v1.02");
  // "No limit" reads back as the 0 the settings keep for it, not the console's -1.
  EXPECT_EQ(info->at("Number Of Rounds"), "0");
  EXPECT_EQ(info->at("number_of_rounds"), "0");
  EXPECT_EQ(info->count("player_0"), 0u);

  const auto all = QueryStatus(install.statusPort, true, true, true);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->at("player_0"), "Bot1");
  EXPECT_EQ(all->at("player_1"), "Frank");
  EXPECT_EQ(all->at("team_1"), "2");
  EXPECT_EQ(all->at("score_1"), "17");
  EXPECT_EQ(all->at("kills_1"), "5");
  EXPECT_EQ(all->at("deaths_1"), "3");
  EXPECT_EQ(all->at("ping_1"), "85");
  EXPECT_EQ(all->at("keyhash_1").size(), 32u);
  EXPECT_EQ(all->at("team_t0"), "NVA");
  EXPECT_EQ(all->at("team_t1"), "USA");

  const auto players = QueryStatus(install.statusPort, false, true, true);
  ASSERT_TRUE(players.has_value());
  EXPECT_EQ(players->at("player_1"), "Frank");

  sim.Control("endround");
  EXPECT_EQ(QueryStatus(install.statusPort, true, false, false)->at("gamemode"), "end");
  sim.Control("pause on");
  EXPECT_EQ(QueryStatus(install.statusPort, true, false, false)->at("gamemode"), "end");
  sim.Control("nextround");
  EXPECT_EQ(QueryStatus(install.statusPort, true, false, false)->at("gamemode"), "pause");
}

TEST(GameSimStatus, SameSeedGivesTheSameGame) {
  std::vector<std::string> runs[3];
  const char* seeds[3] = {"11", "11", "12"};
  for (int run = 0; run < 3; ++run) {
    TempDir dir;
    const Install install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings");
    GameSim sim(dir.path(), {"--seed", seeds[run], "--players", "4", "--bots", "2"});
    ASSERT_TRUE(sim.WaitReady());
    EXPECT_EQ(sim.Control("tick 30"), "ok");
    runs[run] = PlayerLines(install.consolePort);
    const auto status = QueryStatus(install.statusPort, true, true, false);
    ASSERT_TRUE(status.has_value());
    for (int i = 0; status->count("player_" + std::to_string(i)); ++i) {
      runs[run].push_back(status->at("player_" + std::to_string(i)) + " " +
                          status->at("score_" + std::to_string(i)));
    }
  }
  EXPECT_GT(runs[0].size(), 2u);
  EXPECT_EQ(runs[0], runs[1]);
  EXPECT_NE(runs[0], runs[2]);
  for (const std::string& line : runs[0]) {
    if (line.find("is remote") != std::string::npos) {
      EXPECT_TRUE(ParsePlayerLine(line).has_value()) << line;
    }
  }
}

class GameSimConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    install = MakeInstall(dir.path(), dir.path() + "/mods/bfvietnam/settings",
                          "game.serverPunkBuster 1\n");
    sim = std::make_unique<GameSim>(dir.path(), std::vector<std::string>{"+statusMonitor", "1"});
    ASSERT_TRUE(sim->WaitReady());
    ASSERT_TRUE(console.Connect(install.consolePort));
    ASSERT_EQ(console.Login("User", "Secret"), 1);
  }

  // The reply without its event lines, as the administrator collects it.
  std::vector<std::string> Run(const std::string& text) {
    std::vector<std::string> kept;
    for (const std::string& line : RunRaw(text)) {
      if (line.rfind("##", 0) != 0) kept.push_back(line);
    }
    return kept;
  }

  std::vector<std::string> RunRaw(const std::string& text) {
    auto reply = console.Command(text);
    EXPECT_TRUE(reply.has_value()) << text;
    return reply.value_or(std::vector<std::string>{});
  }

  TempDir dir;
  Install install;
  std::unique_ptr<GameSim> sim;
  Console console;
};

TEST_F(GameSimConsole, AnswersOneLinePerBareKeyAndStoresSetters) {
  // Values from serverautoexec.con, then defaults, in the order asked.
  EXPECT_EQ(Run("admin.timeLimit\nadmin.soldierFFRatio\nadmin.maxAllowedConnectionType\n"
                "admin.voteMapMajority\ngame.enableFreeCamera"),
            (std::vector<std::string>{"1200", "0.75", "CTLanT1", "0.60", "0"}));
  EXPECT_TRUE(Run("admin.timeLimit 600\nadmin.kickback 0.50").empty());
  EXPECT_EQ(Run("admin.timeLimit\nadmin.kickback"), (std::vector<std::string>{"600", "0.50"}));
  // Something it does not know still gets exactly one harmless line.
  const auto unknown = Run("admin.noSuchThing");
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_NE(unknown[0].find("Unknown command"), std::string::npos);
}

TEST_F(GameSimConsole, ListsPlayersWithTheMarkersTheAdministratorReads) {
  const std::string keyhash = "0123456789abcdef0123456789ABCDEF";
  ASSERT_EQ(sim->Control("add \"Big Al\" ip=10.1.2.3 keyhash=" + keyhash), "ok 1");
  ASSERT_EQ(sim->Control("bot Robo"), "ok 2");
  ASSERT_EQ(sim->Control("add Zed"), "ok 3");
  const auto lines = Run("game.listPlayers");
  ASSERT_EQ(lines.size(), 3u);
  const auto first = ParsePlayerLine(lines[0]);
  ASSERT_TRUE(first.has_value()) << lines[0];
  EXPECT_EQ(first->id, 1);
  EXPECT_EQ(first->name, "Big Al");
  EXPECT_EQ(first->ip, "10.1.2.3");
  EXPECT_EQ(first->keyhash, keyhash);
  EXPECT_NE(lines[1].find("is an AI bot"), std::string::npos);
  const auto third = ParsePlayerLine(lines[2]);
  ASSERT_TRUE(third.has_value()) << lines[2];
  EXPECT_EQ(third->name, "Zed");
  EXPECT_EQ(third->keyhash.size(), 32u);

  // Names the list could not carry are refused.
  EXPECT_EQ(sim->Control("add \"X is remote Y\"").rfind("error", 0), 0u);
  EXPECT_EQ(sim->Control("add ThisNameIsMuchTooLongForTheGameToKeep").rfind("error", 0), 0u);

  Run("admin.kickPlayer 1");
  const auto after = Run("game.listPlayers");
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(ParsePlayerLine(after[1])->name, "Zed");
}

TEST_F(GameSimConsole, DeliversEventLinesOnceWithTheNextReply) {
  ASSERT_EQ(sim->Control("add Alice"), "ok 1");
  EXPECT_EQ(RunRaw("admin.timeLimit"),
            (std::vector<std::string>{"1200", "##-- [Game] Alice joined the game"}));
  ASSERT_EQ(sim->Control("chat 1 !kick Bob now"), "ok");
  // The daemon drops five characters and reads "prefix name: message".
  EXPECT_EQ(RunRaw("admin.timeLimit"),
            (std::vector<std::string>{"1200", "##-- [All] Alice: !kick Bob now"}));
  EXPECT_EQ(RunRaw("admin.timeLimit").size(), 1u);

  ASSERT_EQ(sim->Control("event Something happened"), "ok");
  const auto output = console.Output();
  ASSERT_TRUE(output.has_value());
  EXPECT_EQ(output->back(), "##-- Something happened");
}

TEST_F(GameSimConsole, PrintsPunkBusterListAndVersionAsConsoleOutput) {
  const std::string guid = "fedcba9876543210fedcba9876543210";
  ASSERT_EQ(sim->Control("add Carol guid=" + guid), "ok 1");
  Run("admin.timeLimit");  // takes the join event
  EXPECT_TRUE(Run("pb_sv_plist").empty());
  const auto output = console.Output();
  ASSERT_TRUE(output.has_value());
  bool found = false;
  for (std::size_t i = 1; i < output->size(); ++i) {
    const std::string& line = (*output)[i];
    const auto marker = line.find(" (W) ");
    if (marker == std::string::npos) continue;
    EXPECT_EQ(line.substr(marker + 5), "Carol");
    const auto colon = line.find(':');
    EXPECT_EQ(line.substr(colon + 5, line.find('(', colon) - colon - 5), guid);
    found = true;
  }
  EXPECT_TRUE(found);

  Run("pb_sv_ver");
  const auto version = console.Output();
  ASSERT_TRUE(version.has_value());
  ASSERT_GE(version->size(), 2u);
  const std::string& text = (*version)[1];
  EXPECT_LT(text.find('('), text.find(')'));
}

TEST_F(GameSimConsole, KeepsBanListFilesInStepWithItsLists) {
  ASSERT_EQ(sim->Control("add Dave ip=10.9.8.7"), "ok 1");
  ASSERT_EQ(sim->Control("add Eve keyhash=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"), "ok 2");
  Run("admin.banPlayer 1\nadmin.banPlayerKey 2\nadmin.addAddressToBanList 192.168.0.9");
  const std::string banlist = ReadFile(install.settingsDir + "/banlist.con");
  EXPECT_NE(banlist.find("admin.addAddressToBanList 10.9.8.7:0 Perm\n"), std::string::npos);
  EXPECT_NE(banlist.find("admin.addAddressToBanList 192.168.0.9:0 Perm\n"), std::string::npos);
  EXPECT_NE(banlist.find("admin.addKeyToBanList aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa Perm\n"),
            std::string::npos);
  EXPECT_TRUE(Run("game.listPlayers").empty());  // banned players are gone
  EXPECT_EQ(sim->Control("add Dave2 ip=10.9.8.7"), "error the player is banned");

  Run("admin.removeAddressFromBanList 10.9.8.7");
  EXPECT_EQ(ReadFile(install.settingsDir + "/banlist.con").find("10.9.8.7"), std::string::npos);
  EXPECT_EQ(Run("admin.listBannedAddresses"), (std::vector<std::string>{"192.168.0.9:0 Perm"}));

  const std::string guid = "0000000000000000000000000000beef";
  ASSERT_EQ(sim->Control("add Gus guid=" + guid), "ok 3");
  Run("pb_sv_banguid " + guid);
  EXPECT_NE(ReadFile(dir.path() + "/pb/pbbans.dat").find(guid), std::string::npos);
  EXPECT_EQ(sim->Control("players"), "ok 0");
  Run("pb_sv_unbanguid beef");  // only a whole GUID lifts a ban
  EXPECT_NE(ReadFile(dir.path() + "/pb/pbbans.dat").find(guid), std::string::npos);
  Run("pb_sv_unbanguid " + guid);
  EXPECT_EQ(ReadFile(dir.path() + "/pb/pbbans.dat").find(guid), std::string::npos);

  Run("admin.clearBanList");
  EXPECT_EQ(ReadFile(install.settingsDir + "/banlist.con"), "");
}

TEST_F(GameSimConsole, ClosesConnectionsThatSendMoreThanItsBoundsAndStaysUp) {
  Console huge;
  ASSERT_TRUE(huge.Connect(install.consolePort));
  ASSERT_EQ(huge.Login("User", "Secret"), 1);
  huge.SendRaw({0xFF, 0xFF, 0xFF, 0xFF});  // four billion strings
  EXPECT_TRUE(huge.PeerClosed());

  Console longString;
  ASSERT_TRUE(longString.Connect(install.consolePort));
  ASSERT_EQ(longString.Login("User", "Secret"), 1);
  longString.SendRaw({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F});
  EXPECT_TRUE(longString.PeerClosed());

  Console longName;
  ASSERT_TRUE(longName.Connect(install.consolePort));
  longName.SendRaw({0x00, 0x00, 0x00, 0x10});
  EXPECT_TRUE(longName.PeerClosed());

  Console unterminated;
  ASSERT_TRUE(unterminated.Connect(install.consolePort));
  ASSERT_EQ(unterminated.Login("User", "Secret"), 1);
  unterminated.SendRaw({1, 0, 0, 0, 2, 0, 0, 0, 'a', 'b'});
  EXPECT_TRUE(unterminated.PeerClosed());

  EXPECT_EQ(Run("admin.timeLimit"), (std::vector<std::string>{"1200"}));
}

}  // namespace
}  // namespace gamesim_test
