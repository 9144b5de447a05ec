// Every file Keldor rewrites whole is the old one or the new one, whenever the
// process dies: each kind of rewrite is run in a child that kills itself with
// SIGKILL through the replace hook at the last moment before the switch, and
// the file must still be the old one; run through, it is the new one. A writer
// that bypassed the one-step replacement would never reach the hook and fail.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <vector>

#include "bans/ban_store.h"
#include "bans/ban_sync.h"
#include "core/helpers.h"
#include "core/log.h"
#include "gamelink/player_table.h"
#include "maps/archive.h"
#include "maps/rfa_writer.h"
#include "maps/rotation.h"
#include "policing/admin_log.h"
#include "remote/accounts.h"
#include "remote/notify.h"
#include "remote/sessions.h"
#include "remote/transfer.h"
#include "schedule/scheduler.h"
#include "settings/game_config.h"
#include "settings/settings.h"
#include "state_fixture.h"
#include "wire/transfer_frame.h"

namespace keldor {
namespace {

using testing::ReadFile;
using testing::WriteFile;

std::string g_victim;  // the path whose replacement kills the child

void KillAtReplace(const std::string& path) {
  if (path == g_victim) kill(getpid(), SIGKILL);
}

struct Rewrite {
  const char* what;
  std::string file;               // relative to the settings directory
  std::function<void()> prepare;  // lays out what the rewrite reads (the file itself too)
  std::function<bool()> run;
};

class CrashSafeFiles : public testing::StateTest {
 protected:
  // Kills a child at the replacement of `file`; true when it died that way.
  bool KilledMidway(const Rewrite& r) {
    g_victim = SettingsFile(r.file);
    const pid_t child = fork();
    if (child == 0) {
      SetReplaceFileHook(KillAtReplace);
      r.run();
      _exit(0);  // the hook was never reached
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
  }
};

TEST_F(CrashSafeFiles, EveryWholeFileRewriteIsTheOldOrTheNewFile) {
  const std::string old = "old content that must survive\n";
  // A timed ban long over and a permanent one, both also in the game's own list.
  const auto banLists = [&] {
    WriteFile(SettingsFile("serverbanlist.con"),
              "\"A\",10.0.0.1,*,*,\"adm\",1,2,r\n\"B\",10.0.0.2,*,*,\"adm\",1,0,r\n");
    WriteFile(
        SettingsFile("banlist.con"),
        "admin.addAddressToBanList 10.0.0.1:0 Perm\nadmin.addAddressToBanList 10.0.0.2:0 Perm\n");
  };
  const std::vector<Rewrite> rewrites = {
      {"settings", "servermanager.con", [] {},
       [&] { return SaveSettingsFile(SettingsFile("servermanager.con"), -1); }},
      {"accounts", "useraccess.con",
       [&] {
         WriteFile(SettingsFile("plain.con"), "admin,pw,,4294967295,1\n");
         ASSERT_TRUE(LoadUserAccounts(SettingsFile("plain.con")));
       },
       [&] { return SaveUserAccounts(SettingsFile("useraccess.con")); }},
      {"password change", "useraccess.con",
       [&] { WriteFile(SettingsFile("useraccess.con"), "admin,pw,,4294967295,1\n"); },
       [] { return ChangeUserPass("admin", "new"); }},
      {"schedule", "serverschedule.con",
       [&] {
         WriteFile(SettingsFile("plain.con"), "1700000000,stop,daily,*,*,1\n");
         ASSERT_TRUE(LoadSchedule(SettingsFile("plain.con")));
       },
       [&] { return SaveSchedule(SettingsFile("serverschedule.con")); }},
      {"rotation for the game", "maplist.con",
       [&] {
         WriteFile(SettingsFile("servermaplist.con"),
                   "game.addLevelToRotation hue GPM_CQ bfvietnam\n");
       },
       [&] {
         return WriteMapListStartingAt(SettingsFile("servermaplist.con"),
                                       SettingsFile("maplist.con"), "khe_sanh,GPM_CQ,bfvietnam");
       }},
      {"game settings", "serversettings.con", [] {},
       [&] { return WriteServerSettings(SettingsFile("serversettings.con")); }},
      {"copied rotation", "copy.con", [&] { WriteFile(SettingsFile("source.con"), "new copy\n"); },
       [&] { return CopyFile(SettingsFile("source.con"), SettingsFile("copy.con")); }},
      {"client list", "clientlist.con", [] {},
       [&] { return WriteClientList(SettingsFile("clientlist.con")); }},
      {"player list", "playerlist.con", [] {},
       [&] { return WritePlayerListFile(SettingsFile("playerlist.con")); }},
      {"extracted evolution data", "evolution.wst",
       [&] {
         ASSERT_TRUE(
             WriteRfaArchive(SettingsFile("game.rfa"), {{"e.wst", std::string(5000, 'e'), true}}));
       },
       [&] {
         return ExtractArchiveEntry(SettingsFile("game.rfa"), "e.wst",
                                    SettingsFile("evolution.wst"));
       }},
      {"upload", "serverbanlist.con", [] {},
       [&] {
         const std::string content = "new upload\n";
         std::vector<unsigned char> message(TransferMessageBound(content.size()));
         message.resize(EncodeTransferInto(content.data(), content.size(), message.data()));
         return ReceiveFile(
             SettingsFile("serverbanlist.con"), "127.0.0.1",
             std::string_view(reinterpret_cast<const char*>(message.data()), message.size()));
       }},
      {"lifted ban", "serverbanlist.con", banLists,
       [] { return RemoveBan("", "10.0.0.1", "", ""); }},
      {"expired ban", "serverbanlist.con", banLists, ExpireTimedBans},
      {"bans taken from the game", "serverbanlist.con", banLists, SyncBansFromServer},
  };
  for (const Rewrite& r : rewrites) {
    WriteFile(SettingsFile(r.file), old);
    r.prepare();
    const std::string before = ReadFile(SettingsFile(r.file));
    EXPECT_TRUE(KilledMidway(r)) << r.what
                                 << ": the rewrite never reached the one-step replacement";
    EXPECT_EQ(ReadFile(SettingsFile(r.file)), before) << r.what;
    r.prepare();  // the child may have rewritten the files it read
    ASSERT_TRUE(r.run()) << r.what;
    EXPECT_NE(ReadFile(SettingsFile(r.file)), before) << r.what;
  }
}

// The copies of the password files that a transfer sends are their owner's
// alone (the files themselves are shown end to end in files_security_test).
TEST_F(CrashSafeFiles, FilesThatHoldPasswordsAreWrittenForTheirOwnerOnly) {
  const mode_t mask = umask(022);
  ClearClientSlots();  // slot 0: Keldor itself, with every right
  WriteFile(SettingsFile("useraccess.con"), "admin,pw,,4294967295,1\n");
  ASSERT_TRUE(LoadUserAccounts(SettingsFile("useraccess.con")));  // rewritten enciphered
  ASSERT_TRUE(SaveSettingsFile(dir_ / "servermanager.con", 1));
  ASSERT_TRUE(WriteUserListFor(dir_ / "useraccess.con", 0));
  for (const char* name : {"servermanager.con", "useraccess.con"}) {
    EXPECT_EQ(testing::FileMode(dir_ / name), 0600u) << name;
  }
  umask(mask);
}

// An appended line is added by one write; a reader never sees it in pieces.
// A last line that an earlier crash or a full disk cut short stays a line of
// its own: the next record starts on the line after it, whole.
TEST_F(CrashSafeFiles, AppendedLinesAreWrittenWholeAfterACutLine) {
  const std::string line = std::string(70000, 'x') + "\n";  // beyond any stdio buffer
  ASSERT_TRUE(AppendWhole(SettingsFile("status.log"), "first\n"));
  ASSERT_TRUE(AppendWhole(SettingsFile("status.log"), line));
  EXPECT_EQ(ReadFile(SettingsFile("status.log")), "first\n" + line);
  EXPECT_FALSE(AppendWhole(Opts().settingsDir + "/missing/dir.log", line));

  const std::string cut = "\"Bob\",10.0.0.1,[unkn";
  WriteFile(AdminLogPath(), cut);
  LogAdminAction("Ann", nullptr, nullptr, nullptr, "admin", 7, nullptr, "kick", 0, nullptr);
  EXPECT_EQ(
      ReadFile(AdminLogPath()),
      cut + "\n\"Ann\",[unknown],[unknown],[unknown],\"admin\",7,[unknown],kick,0,[unknown]\n");

  Logging().directory = Opts().settingsDir;
  WriteFile(LogFilePath(), "2023-11-14 22:13:20 : Server has cra");
  LogMessage(kLogInfo, "Server has crashed");
  const std::string log = ReadFile(LogFilePath());
  EXPECT_EQ(log.rfind("2023-11-14 22:13:20 : Server has cra\n", 0), 0U) << log;
  EXPECT_EQ(log.find('\n', 40), log.size() - 1) << log;
  EXPECT_TRUE(log.ends_with(" : Server has crashed\r\n")) << log;
}

}  // namespace
}  // namespace keldor
