// The rollback of an upload after which the game server crashes at every start:
// which copies a run of uploads keeps, what makes an upload stand, the modes,
// the table, and links planted at the copies' names.
#include "remote/rollback.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/clock.h"
#include "process/server_process.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace keldor {
namespace {

using testing::ReadFile;
using testing::WriteFile;

class Rollback : public testing::StateTest {
 protected:
  void SetUp() override {
    StateTest::SetUp();
    PinClock(1700000000);
    Opts().autoRestart = true;
    savedMask_ = umask(022);
    rotation_ = SettingsFile("servermaplist.con");
    copy_ = rotation_ + kBeforeUploadSuffix;
    Connections()[1] = Connection{-1, "carol", "10.0.0.5:4000", 0, {}};
    WriteFile(rotation_, "a\n");
  }
  void TearDown() override {
    umask(savedMask_);
    StateTest::TearDown();
  }
  // As the transfer code makes one. The start after a rollback is refused here.
  void Upload(UploadKind kind, const std::string& path, const std::string& text) {
    KeepBeforeUpload(kind);
    WriteFile(path, text);
    NoteUpload(kind, 1);
  }
  static unsigned Mode(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
  }

  mode_t savedMask_ = 0;
  std::string rotation_;
  std::string copy_;
};

TEST_F(Rollback, UploadsGoBackToTheLastStateThatRanSteadilyWithinTheWindowOnce) {
  Upload(UploadKind::kRotation, rotation_, "b\n");
  Upload(UploadKind::kRotation, rotation_, "c\n");
  AdvanceClock(kRollbackWindowSeconds + 1);
  EXPECT_FALSE(RollBackUpload(3));  // too late for the last upload: it stands
  Upload(UploadKind::kRotation, rotation_, "d\n");
  RollBackUpload(3);
  EXPECT_EQ(ReadFile(rotation_), "a\n");
  EXPECT_FALSE(std::filesystem::exists(copy_));
  EXPECT_EQ(CountLogged("Rolled back the map rotation uploaded by user carol at 10.0.0.5:4000 at "),
            3);
  EXPECT_FALSE(RollBackUpload(3));

  // A launch after an upload that ran past the quick-crash window makes it stand.
  Upload(UploadKind::kRotation, rotation_, "b\n");
  GameServer().monitoring = true;
  Watch().launchTime = MonotonicNow();
  AdvanceClock(kQuickCrashSeconds + 1);
  Upload(UploadKind::kRotation, rotation_, "c\n");
  RollBackUpload(3);
  EXPECT_EQ(ReadFile(rotation_), "b\n");
}

TEST_F(Rollback, SettingsComeBackInTheTableAndTheFilesAtTheirModes) {
  const std::string manager = SettingsFile("servermanager.con");
  const std::string autoexec = SettingsFile("serverautoexec.con");
  WriteFile(manager, "manager.consolePort 5711\n");
  WriteFile(autoexec, "x\n");
  ASSERT_EQ(chmod(manager.c_str(), 0600), 0);
  ASSERT_EQ(chmod(autoexec.c_str(), 0640), 0);
  Row(Setting::ConsolePort).current = 5711;
  const auto badSettings = [&] {
    KeepBeforeUpload(UploadKind::kSettings);
    Row(Setting::ConsolePort).current = 6000;
    WriteFile(manager, "manager.consolePort 6000\n");
    WriteFile(autoexec, "y\n");
    NoteUpload(UploadKind::kSettings, 1);
  };
  badSettings();
  EXPECT_EQ(Mode(manager + kBeforeUploadSuffix) & 0777, 0600u);
  EXPECT_EQ(Mode(autoexec + kBeforeUploadSuffix) & 0777, 0640u);
  RollBackUpload(3);
  EXPECT_EQ(Row(Setting::ConsolePort).current, 5711);
  EXPECT_EQ(ReadFile(manager), "manager.consolePort 5711\n");
  EXPECT_EQ(ReadFile(autoexec), "x\n");
  EXPECT_EQ(Mode(manager) & 0777, 0600u);
  EXPECT_EQ(Mode(autoexec) & 0777, 0640u);
  EXPECT_FALSE(SettingsFileEdited(manager));  // no hand edit to read in again

  // A copy gone: the file is written from the table as it was.
  badSettings();
  ASSERT_EQ(unlink((manager + kBeforeUploadSuffix).c_str()), 0);
  RollBackUpload(3);
  EXPECT_EQ(Row(Setting::ConsolePort).current, 5711);
  EXPECT_NE(ReadFile(manager).find("manager.consolePort 5711"), std::string::npos);
}

TEST_F(Rollback, LinksAtTheCopiesNamesAreNeverFollowed) {
  const std::string victim = dir_ / "victim";
  WriteFile(victim, "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), copy_.c_str()), 0);
  Upload(UploadKind::kRotation, rotation_, "b\n");
  EXPECT_TRUE(S_ISREG(Mode(copy_)));
  EXPECT_EQ(ReadFile(copy_), "a\n");

  // A link put in the copy's place is not read: the rotation stays as
  // uploaded, and the server stopped for someone to look.
  ASSERT_EQ(unlink(copy_.c_str()), 0);
  ASSERT_EQ(symlink(victim.c_str(), copy_.c_str()), 0);
  EXPECT_FALSE(RollBackUpload(3));
  EXPECT_EQ(ReadFile(rotation_), "b\n");
  EXPECT_TRUE(Logged("the server stays stopped."));
  EXPECT_EQ(ReadFile(victim), "precious\n");
}

}  // namespace
}  // namespace keldor
