// mkinstall lays out an installation that Keldor's start-up reads end to end:
// the evolution data, mods.con and maps.con come out as the layout promises.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kBinDir = KELDOR_BIN_DIR;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* handle = opendir(dir.c_str())) {
    while (const dirent* entry = readdir(handle)) names.push_back(entry->d_name);
    closedir(handle);
  }
  return names;
}

// Runs mkinstall and returns its "key: value" lines.
std::map<std::string, std::string> RunMkinstall(const std::string& arguments) {
  std::map<std::string, std::string> facts;
  FILE* pipe = popen((kBinDir + "/mkinstall " + arguments).c_str(), "r");
  if (pipe == nullptr) return facts;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    const std::size_t colon = text.find(": ");
    if (colon != std::string::npos) facts[text.substr(0, colon)] = text.substr(colon + 2);
  }
  facts["status"] = std::to_string(WEXITSTATUS(pclose(pipe)));
  return facts;
}

class Mkinstall : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/keldor-mkinstall-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    if (keldor_ > 0) {
      kill(keldor_, SIGKILL);
      waitpid(keldor_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string root_;
  pid_t keldor_ = 0;
};

TEST_F(Mkinstall, LaysOutTheInstallationWithTheGivenPorts) {
  const std::string dir = root_ + "/game";
  auto facts = RunMkinstall(
      "--pb --listen-port 40001 --console-port 40002 --game-port 40003 "
      "--query-port 40004 --server-binary /bin/true " +
      dir);
  ASSERT_EQ(facts["status"], "0");
  EXPECT_EQ(facts["listen-port"], "40001");
  EXPECT_EQ(facts["admin-user"], "admin");
  EXPECT_EQ(facts["admin-password"].size(), 12u);
  const std::string user = facts["console-user"];
  const std::string pass = facts["console-password"];
  EXPECT_EQ(ReadText(dir + "/mods/bfvietnam/settings/servermanager.con"),
            "game.serverName \"Keldor Test Server\"\n"
            "game.serverIP 127.0.0.1\n"
            "game.serverPort 40003\n"
            "manager.consolePort 40002\n"
            "game.gameSpyPort 40004\n"
            "game.gameSpyLANPort 40004\n"
            "game.serverInternet 0\n"
            "manager.consoleUsername \"" +
                user +
                "\"\n"
                "manager.consolePassword \"" +
                pass +
                "\"\n"
                "admin.enableRemoteConsole " +
                user + " " + pass + " 40002\n");
  EXPECT_EQ(ReadText(dir + "/bfv_linded"), ReadText("/bin/true"));
  EXPECT_EQ(access((dir + "/bfv_linded").c_str(), X_OK), 0);
  EXPECT_TRUE(std::filesystem::exists(dir + "/pb/pbsv.so"));
  EXPECT_TRUE(std::filesystem::exists(dir + "/mods/bfvietnam/init.con"));
  EXPECT_EQ(ReadText(dir + "/mods/bfvietnam/archives/bfvietnam/game.rfa")
                .rfind("Refractor2 FlatArchive 1.1  ", 0),
            0u);
}

TEST_F(Mkinstall, RefusesBadArgumentsAndPicksFreePorts) {
  EXPECT_EQ(RunMkinstall("--listen-port 0 " + root_ + "/a")["status"], "2");
  EXPECT_EQ(RunMkinstall("--bogus " + root_ + "/a")["status"], "2");
  EXPECT_EQ(RunMkinstall("")["status"], "2");
  auto facts = RunMkinstall(root_ + "/b");
  ASSERT_EQ(facts["status"], "0");
  EXPECT_NE(facts["console-port"], facts["game-port"]);
  EXPECT_FALSE(std::filesystem::exists(root_ + "/b/pb"));
  EXPECT_EQ(ReadText(root_ + "/b/bfv_linded").rfind("#!/bin/sh\n", 0), 0u);
}

// Keldor's start-up on the generated installation extracts the evolution data
// and writes mods.con and maps.con with every game-type case.
TEST_F(Mkinstall, KeldorStartUpDiscoversTheGeneratedMapsAndMods) {
  const std::string dir = root_ + "/game";
  auto facts = RunMkinstall(dir);
  ASSERT_EQ(facts["status"], "0");
  keldor_ = fork();
  ASSERT_GE(keldor_, 0);
  if (keldor_ == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    if (chdir(dir.c_str()) != 0) _exit(127);
    const std::string binary = kBinDir + "/keldor";
    execl(binary.c_str(), binary.c_str(), "-path", dir.c_str(), "-port",
          facts["listen-port"].c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::map<std::string, unsigned> bits = {
      {"bfvietnam,hue", 15},         {"bfvietnam,ia_drang", 13},
      {"bfvietnam,khe_sanh", 9},     {"bfvietnam,operation_hastings", 11},
      {"bfvietnam,saigon_1968", 14}, {"bfvietnam,landing_zone_albany", 8},
      {"bfvietnam,quang_tri", 10},   {"bf1942,wake_island", 9},
      {"bf1942,el_alamein", 11},     {"bf1942,quang_tri", 10},
      {"bf1942,berlin", 8}};
  std::string mods, maps;
  for (const std::string& mod : Listing(dir + "/mods")) {
    if (mod != "bfvietnam" && mod != "bf1942") continue;
    mods += mod + "\n";
    for (std::string file : Listing(dir + "/mods/" + mod + "/archives/bfvietnam/levels")) {
      const std::string key = mod + "," + file.substr(0, file.find(".rfa"));
      if (bits.count(key)) maps += key + "," + std::to_string(bits.at(key)) + "\n";
    }
  }
  const std::string settings = dir + "/mods/bfvietnam/settings/";
  // Start-up needs a moment; wait for the file rather than for a time.
  for (int tries = 0; tries < 300 && ReadText(settings + "maps.con") != maps; ++tries) {
    if (waitpid(keldor_, nullptr, WNOHANG) == keldor_) {
      keldor_ = 0;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(ReadText(settings + "mods.con"), mods) << ReadText(dir + "/keldor.log");
  EXPECT_EQ(ReadText(settings + "maps.con"), maps) << ReadText(dir + "/keldor.log");
  const std::string evolution =
      ReadText(dir + "/mods/bfvietnam/save/gamemodesettings/evolution.wst");
  EXPECT_GT(evolution.size(), 32768u);  // two segments' worth
  EXPECT_NE(evolution.find("<map_ name=\"saigon_1968\""), std::string::npos);
  const std::string log = ReadText(dir + "/keldor.log");
  for (const char* complaint : {"Couldn't read archive", "Couldn't parse", "Couldn't open"}) {
    EXPECT_EQ(log.find(complaint), std::string::npos) << log;
  }
}

}  // namespace
