// mkinstall lays out an installation that Keldor's start-up reads end to end:
// its settings file, the evolution data, mods.con and maps.con come out as
// the layout promises.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

using keldor::testing::Listing;

std::string ReadText(const std::string& path) {
  return ReadFile(path);
}

// Runs mkinstall and returns its "key: value" lines and its exit status.
std::map<std::string, std::string> RunMkinstall(const std::string& arguments) {
  std::map<std::string, std::string> facts;
  FILE* pipe = popen((BinaryPath("mkinstall") + " " + arguments + " 2>/dev/null").c_str(), "r");
  char line[1024];
  while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
    const std::string text(line, std::strcspn(line, "\n"));
    const std::size_t colon = text.find(": ");
    if (colon != std::string::npos) facts[text.substr(0, colon)] = text.substr(colon + 2);
  }
  facts["status"] = pipe == nullptr ? "-" : std::to_string(WEXITSTATUS(pclose(pipe)));
  return facts;
}

TEST(Mkinstall, BuildsAnInstallationThatKeldorStartsOn) {
  TempDir temp;
  const std::string dir = temp / "game";
  EXPECT_EQ(RunMkinstall("--listen-port 0 " + dir)["status"], "2");
  EXPECT_EQ(RunMkinstall("--bogus " + dir)["status"], "2");
  auto facts = RunMkinstall("--pb --server-binary /bin/sleep " + dir);
  ASSERT_EQ(facts["status"], "0");
  EXPECT_EQ(facts["admin-user"], "admin");
  EXPECT_EQ(facts["admin-password"].size(), 12u);
  const std::string& user = facts["console-user"];
  const std::string& pass = facts["console-password"];
  const std::string settings = dir + "/mods/bfvietnam/settings/";
  EXPECT_EQ(ReadText(settings + "servermanager.con"),
            "game.serverName \"Keldor Test Server\"\ngame.serverIP 127.0.0.1\n"
            "game.serverPort " +
                facts["game-port"] + "\nmanager.consolePort " + facts["console-port"] +
                "\ngame.gameSpyPort " + facts["query-port"] + "\ngame.gameSpyLANPort " +
                facts["query-port"] + "\ngame.serverInternet 0\nmanager.consoleUsername \"" + user +
                "\"\nmanager.consolePassword \"" + pass + "\"\nadmin.enableRemoteConsole " + user +
                " " + pass + " " + facts["console-port"] + "\n");
  EXPECT_EQ(ReadText(dir + "/bfv_linded"), ReadText("/bin/sleep"));
  EXPECT_EQ(access((dir + "/bfv_linded").c_str(), X_OK), 0);
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
    Process keldor(BinaryPath("keldor"), {"-path", dir, "-port", facts["listen-port"]}, dir,
                   "/dev/null");
    // Start-up takes a moment; wait for the file (bounded) rather than for a time.
    WaitFor([&] { return ReadText(settings + "maps.con") == maps || keldor.Wait(0); }, 30);
  }  // ended by its pid
  const std::string log = ReadText(dir + "/keldor.log");
  EXPECT_EQ(ReadText(settings + "mods.con"), mods) << log;
  EXPECT_EQ(ReadText(settings + "maps.con"), maps) << log;
  const std::string evolution =
      ReadText(dir + "/mods/bfvietnam/save/gamemodesettings/evolution.wst");
  EXPECT_GT(evolution.size(), 32768u);  // two segments' worth
  EXPECT_NE(evolution.find("<map_ name=\"saigon_1968\""), std::string::npos);
  for (const char* complaint : {"Couldn't read archive", "Couldn't parse", "Couldn't open"}) {
    EXPECT_EQ(log.find(complaint), std::string::npos) << log;
  }
}

}  // namespace
}  // namespace keldor::e2e
