// mkinstall lays out an installation that Keldor's start-up reads end to end:
// its settings file, the evolution data, mods.con and maps.con come out as
// the layout promises. An existing installation is left alone unless forced.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

using testing::Listing;

TEST(Mkinstall, BuildsAnInstallationThatKeldorStartsOnAndReplacesOnlyWhenForced) {
  TempDir temp;
  const std::string dir = temp / "game";
  WriteFile(dir + "/notes.txt", "not an installation\n");
  const auto run = [&](const std::string& options) {
    const std::string command =
        BinaryPath("mkinstall") + " " + options + " " + dir + " > " + dir + "/mkinstall.txt 2>&1";
    return WEXITSTATUS(std::system(command.c_str()));
  };
  ASSERT_EQ(run(""), 0) << ReadFile(dir + "/mkinstall.txt");
  const std::string accounts = dir + "/mods/bfvietnam/settings/useraccess.con";
  const std::string first = ReadFile(accounts);
  EXPECT_EQ(run("--pb"), 1);
  EXPECT_NE(ReadFile(dir + "/mkinstall.txt").find("already holds a game installation"),
            std::string::npos);
  EXPECT_EQ(ReadFile(accounts), first);
  EXPECT_FALSE(std::filesystem::exists(dir + "/pb"));
  ASSERT_EQ(run("--force --pb --server-binary /bin/sleep"), 0);
  EXPECT_NE(ReadFile(accounts), first);
  const auto fact = [&](const char* key) { return InstallationFact(dir, key); };
  const std::string user = fact("console-user"), pass = fact("console-password");
  const std::string settings = dir + "/mods/bfvietnam/settings/";
  EXPECT_EQ(ReadFile(settings + "servermanager.con"),
            "game.serverName \"Keldor Test Server\"\ngame.serverIP 127.0.0.1\n"
            "game.serverPort " +
                fact("game-port") + "\nmanager.consolePort " + fact("console-port") +
                "\ngame.gameSpyPort " + fact("query-port") + "\ngame.gameSpyLANPort " +
                fact("query-port") +
                "\ngame.serverInternet 0\nmanager.autoKickWord 1\n"
                "manager.consoleUsername \"" +
                user + "\"\nmanager.consolePassword \"" + pass + "\"\nadmin.enableRemoteConsole " +
                user + " " + pass + " " + fact("console-port") + "\n");
  EXPECT_EQ(ReadFile(settings + "bannedwords.con"), "noob\n");
  // The passwords in them are for their owner alone.
  for (const char* secret : {"servermanager.con", "useraccess.con"}) {
    EXPECT_EQ(std::filesystem::status(settings + secret).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << secret;
  }
  EXPECT_EQ(ReadFile(dir + "/bfv_linded"), ReadFile("/bin/sleep"));
  EXPECT_TRUE(std::filesystem::exists(dir + "/pb/pbsv.so"));

  // Start-up extracts the evolution data and writes mods.con and maps.con.
  const std::map<std::string, unsigned> bits = {
      {"bfvietnam,hue", 15},         {"bfvietnam,ia_drang", 13},
      {"bfvietnam,khe_sanh", 9},     {"bfvietnam,operation_hastings", 11},
      {"bfvietnam,saigon_1968", 14}, {"bfvietnam,landing_zone_albany", 8},
      {"bfvietnam,quang_tri", 10},   {"bf1942,wake_island", 9},
      {"bf1942,el_alamein", 11},     {"bf1942,quang_tri", 10},
      {"bf1942,berlin", 8}};
  std::string mods, maps;
  for (const std::string& mod : Listing(dir + "/mods")) {
    if (mod != "bfvietnam" && mod != "bf1942") continue;  // training has no init.con
    mods += mod + "\n";
    for (const std::string& file : Listing(dir + "/mods/" + mod + "/archives/bfvietnam/levels")) {
      const std::string key = mod + "," + file.substr(0, file.find(".rfa"));
      if (bits.count(key)) maps += key + "," + std::to_string(bits.at(key)) + "\n";
    }
  }
  {
    Process keldor(BinaryPath("keldor"), {"-path", dir, "-port", fact("listen-port")}, dir,
                   "/dev/null");
    // Start-up takes a moment; wait for the file (bounded) rather than for a time.
    WaitFor([&] { return ReadFile(settings + "maps.con") == maps || keldor.Wait(0); }, 30);
  }  // ended by its pid
  const std::string log = ReadFile(dir + "/keldor.log");
  EXPECT_EQ(ReadFile(settings + "mods.con"), mods) << log;
  EXPECT_EQ(ReadFile(settings + "maps.con"), maps) << log;
  const std::string evolution =
      ReadFile(dir + "/mods/bfvietnam/save/gamemodesettings/evolution.wst");
  EXPECT_GT(evolution.size(), 32768u);  // two segments' worth
  EXPECT_NE(evolution.find("<map_ name=\"saigon_1968\""), std::string::npos);
  EXPECT_EQ(log.find("Couldn't"), std::string::npos) << log;
}

}  // namespace
}  // namespace keldor::e2e
