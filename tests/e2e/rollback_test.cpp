// Uploads after which the game server crashes at every start: with -restart
// the restart-loop guard gives it up, Keldor puts the files back as they were
// and starts it once more; with -norollback it stays down with the upload.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace keldor::e2e {
namespace {

// The files the game starts with, and those they are written from.
const char* const kStartFiles[] = {"servermanager.con", "serverautoexec.con", "serversettings.con",
                                   "servermaplist.con", "maplist.con"};
constexpr const char* kOtherRotation =
    "game.setCurrentLevel khe_sanh GPM_CQ bfvietnam\n"
    "game.addLevelToRotation khe_sanh GPM_CQ bfvietnam\n";

class Rollback : public InstalledServer {
 protected:
  void TearDown() override {
    InstalledServer::TearDown();
    close(busy_);
  }
  // Bad settings (a console port the test holds, so the game ends with status
  // 1 as it starts) and another rotation; then a stop and a start.
  void UploadAndRestart(const std::vector<std::string>& extra) {
    keldor_ = Keldor(extra, "keldor.out");
    ASSERT_TRUE(WaitFor([&] { return Logged(" : Connected\r\n"); }, 40)) << Log();
    for (const char* name : kStartFiles) before_.push_back(ReadFile(SettingsPath(name)));
    ASSERT_EQ(listen(busy_, 1), 0);
    const std::string port = std::to_string(testing::LocalPort(busy_));
    ASSERT_TRUE(Says(Put("settings", "manager.consolePort " + port + "\n"), 0));
    ASSERT_TRUE(Says(Put("rotation", kOtherRotation), 0));
    ASSERT_TRUE(Says(Admin({"stop"}), 0));
    ASSERT_TRUE(Says(Admin({"start"}), 0));
    ASSERT_TRUE(WaitFor([&] { return Logged("Server is in a restart loop"); }, 40)) << Log();
  }
  std::pair<int, std::string> Admin(const std::vector<std::string>& args) {
    return RunAs(InstallationFact(dir_.path(), "admin-user"),
                 InstallationFact(dir_.path(), "admin-password"), args);
  }
  std::pair<int, std::string> Put(const std::string& kind, const std::string& content) {
    WriteFile(dir_ / kind, content);
    return Admin({"put", kind, dir_ / kind});
  }
  std::vector<std::string> StartFiles() const {
    std::vector<std::string> files;
    for (const char* name : kStartFiles) files.push_back(ReadFile(SettingsPath(name)));
    return files;
  }

  int busy_ = testing::BindLoopback(SOCK_STREAM);
  std::vector<std::string> before_;
};

TEST_F(Rollback, UploadsThatCrashTheServerAtStartUpAreUndoneAndItRunsAgain) {
  UploadAndRestart({"-start", "-restart"});
  ASSERT_TRUE(WaitFor([&] { return CountLogged(" : Connected\r\n") == 2; }, 40)) << Log();
  const std::string log = Log();
  EXPECT_LT(log.find("Server is in a restart loop"),
            log.find("Rolled back the settings uploaded by user admin at 127.0.0.1:"));
  EXPECT_TRUE(Logged("Rolled back the map rotation uploaded by user admin at 127.0.0.1:"));
  EXPECT_TRUE(Logged(": the server crashed at start-up 3 times."));
  EXPECT_TRUE(Alive(GamePid()));
  EXPECT_EQ(StartFiles(), before_);
  EXPECT_FALSE(std::filesystem::exists(SettingsPath("servermanager.con.before-upload")));
  EXPECT_FALSE(std::filesystem::exists(SettingsPath("servermaplist.con.before-upload")));
}

TEST_F(Rollback, WithNoRollbackTheServerStaysDownWithTheUpload) {
  UploadAndRestart({"-start", "-restart", "-norollback"});
  const int started = CountLogged("Server started\r\n");
  sleep(2);
  EXPECT_EQ(CountLogged("Server started\r\n"), started);
  EXPECT_FALSE(Logged("Rolled back"));
  EXPECT_EQ(ReadFile(SettingsPath("servermaplist.con")), kOtherRotation);
  EXPECT_FALSE(std::filesystem::exists(SettingsPath("servermanager.con.before-upload")));
}

}  // namespace
}  // namespace keldor::e2e
