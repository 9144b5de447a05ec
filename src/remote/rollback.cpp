// Undoing an upload after which the game server will not stay up: see rollback.h.
#include "remote/rollback.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "process/server_process.h"
#include "remote/notify.h"
#include "remote/sessions.h"
#include "runtime/alerting.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "wire/protocol.h"
#include "wire/transfer_frame.h"

namespace keldor {

namespace {

constexpr std::size_t kUploadKinds = 3;
// No file is kept that is larger than any upload could be.
constexpr std::size_t kKeptFileMax = kTransferMax;

// The files each upload changes that the game's start depends on. The game's
// serversettings.con and maplist.con are not among them: every start writes
// them anew from the table and the rotation.
struct GuardedFile {
  UploadKind kind;
  bool inServerDir;  // else in the settings directory
  const char* name;
};

constexpr GuardedFile kGuarded[] = {
    {UploadKind::kSettings, false, "servermanager.con"},
    {UploadKind::kSettings, false, "serverautoexec.con"},
    {UploadKind::kRotation, false, "servermaplist.con"},
    {UploadKind::kPunkBusterConfig, true, "pb/pbsv.cfg"},
};
constexpr std::size_t kGuardedFiles = std::size(kGuarded);
constexpr std::size_t kManagerFile = 0;

struct KeptFile {
  bool kept = false;
  bool existed = false;  // false: the upload made it, and a rollback removes it
  mode_t mode = 0;       // the original's permission bits
};

struct Upload {
  UploadKind kind = UploadKind::kSettings;
  std::string account;
  std::string address;
  std::time_t when = 0;  // wall clock, for the log
};

struct RollbackRecord {
  bool active = false;         // copies are kept
  std::time_t keptAt = 0;      // monotonic: the first copies
  std::time_t lastUpload = 0;  // monotonic
  std::array<KeptFile, kGuardedFiles> files{};
  bool haveTable = false;
  SettingsRows table{};
  std::array<bool, kUploadKinds> uploaded{};
  std::vector<Upload> uploads;  // at most kRollbackUploadsMax, oldest first
  int unnamed = 0;              // earlier uploads beyond those
};

StateTable<RollbackRecord> g_record;

bool Enabled() {
  return Opts().rollback && Opts().autoRestart;
}

std::size_t KindIndex(UploadKind kind) {
  return static_cast<std::size_t>(kind);
}

const char* KindText(UploadKind kind) {
  switch (kind) {
    case UploadKind::kSettings:
      return "settings";
    case UploadKind::kRotation:
      return "map rotation";
    case UploadKind::kPunkBusterConfig:
      return "PunkBuster server config";
  }
  return "upload";
}

std::string OriginalPath(const GuardedFile& file) {
  return (file.inServerDir ? Opts().serverDir : Opts().settingsDir) + "/" + file.name;
}

std::string CopyPath(const GuardedFile& file) {
  return OriginalPath(file) + kBeforeUploadSuffix;
}

// A regular file's whole content, bounded; its mode in `mode` when asked.
bool ReadRegular(int fd, std::string* text, mode_t* mode) {
  struct stat st;
  if (fstat(fd, &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return Fail(EINVAL);
  if (st.st_size > static_cast<off_t>(kKeptFileMax)) return Fail(EFBIG);
  if (mode != nullptr) *mode = st.st_mode & 0777;
  text->clear();
  char block[8192];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Fail(errno);
    if (got == 0) return true;
    // A file growing while it is read is still held to the bound.
    if (text->size() + static_cast<std::size_t>(got) > kKeptFileMax) return Fail(EFBIG);
    text->append(block, static_cast<std::size_t>(got));
  }
}

bool WriteText(const std::string& path, mode_t widestMode, const std::string& text) {
  return ReplaceFile(path, widestMode, [&text](std::FILE* file) {
    return text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
  });
}

// The copy never gets a wider mode than the original. Whatever stood at its
// name (a copy an earlier run left, a planted link) is removed, not followed.
bool KeepFile(std::size_t index) {
  const std::string original = OriginalPath(kGuarded[index]);
  const std::string copy = CopyPath(kGuarded[index]);
  KeptFile& kept = g_record->files[index];
  if (unlink(copy.c_str()) != 0 && errno != ENOENT) return Fail(errno);
  const OwnedFd fd(open(original.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) {
    if (errno != ENOENT) return Fail(errno);
    kept = {true, false, 0};
    return true;
  }
  std::string text;
  mode_t mode = 0;
  if (!ReadRegular(fd.get(), &text, &mode) || !WriteText(copy, mode, text)) return false;
  kept = {true, true, mode};
  return true;
}

// The original as the copy holds it, in one step; the copy is read only if
// it is a regular file of its own (never through a link).
bool RestoreFile(std::size_t index) {
  const KeptFile& kept = g_record->files[index];
  const std::string original = OriginalPath(kGuarded[index]);
  if (!kept.existed) return unlink(original.c_str()) == 0 || errno == ENOENT || Fail(errno);
  const std::string copy = CopyPath(kGuarded[index]);
  const OwnedFd fd(open(copy.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return Fail(errno);
  std::string text;
  return ReadRegular(fd.get(), &text, nullptr) && WriteText(original, kept.mode, text);
}

void RemoveCopy(std::size_t index) {
  if (g_record->files[index].existed) unlink(CopyPath(kGuarded[index]).c_str());
}

void Forget() {
  for (std::size_t i = 0; i < kGuardedFiles; ++i) RemoveCopy(i);
  g_record.Reset();
}

// A launch since the copies were made that outlived the quick-crash window:
// what the copies hold is no longer the last state known to run.
bool RanSteadilySinceKept() {
  const RollbackRecord& record = *g_record;
  const std::time_t launched = Watch().launchTime;
  return record.active && launched >= record.keptAt &&
         MonotonicNow() - launched > kQuickCrashSeconds;
}

bool KeptWhole(UploadKind kind) {
  for (std::size_t i = 0; i < kGuardedFiles; ++i) {
    if (kGuarded[i].kind == kind && !g_record->files[i].kept) return false;
  }
  return kind != UploadKind::kSettings || g_record->haveTable;
}

std::string WallTime(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%F %H:%M:%S", &local);
  return stamp;
}

// Each item once, in the order first met.
std::string JoinOnce(const std::vector<std::string>& items, const char* separator) {
  std::vector<std::string> seen;
  std::string joined;
  for (const std::string& item : items) {
    if (std::find(seen.begin(), seen.end(), item) != seen.end()) continue;
    seen.push_back(item);
    joined += (joined.empty() ? "" : separator) + item;
  }
  return joined;
}

// Puts back every file of the uploads noted, each copy going once used; the
// names of those put back in `files`.
bool RestoreFiles(std::vector<std::string>& files) {
  RollbackRecord& record = *g_record;
  bool whole = true;
  for (std::size_t i = 0; i < kGuardedFiles; ++i) {
    if (!record.uploaded[KindIndex(kGuarded[i].kind)] || !record.files[i].kept) continue;
    ErrorCode() = 0;
    bool restored = RestoreFile(i);
    if (!restored) {
      LogMessage(kLogInfo, "Couldn't roll back %s! %s", OriginalPath(kGuarded[i]).c_str(),
                 ErrorText(ErrorCode()));
      // The settings are written from the table, put back already, instead.
      if (i == kManagerFile) restored = SaveSettingsFile(OriginalPath(kGuarded[i]), -1);
    }
    if (restored) {
      RemoveCopy(i);
      files.emplace_back(kGuarded[i].name);
    }
    whole = whole && restored;
  }
  return whole;
}

void TellOfRollback(int crashes, const std::string& files) {
  const RollbackRecord& record = *g_record;
  std::vector<std::string> what;
  std::vector<std::string> accounts;
  for (const Upload& upload : record.uploads) {
    LogMessage(kLogInfo,
               "Rolled back the %s uploaded by user %s at %s at %s: the server crashed at "
               "start-up %i times.",
               KindText(upload.kind), upload.account.c_str(), upload.address.c_str(),
               WallTime(upload.when).c_str(), crashes);
    what.emplace_back(KindText(upload.kind));
    accounts.push_back(upload.account);
  }
  if (record.unnamed > 0) {
    LogMessage(kLogInfo, "Rolled back %i earlier uploads as well.", record.unnamed);
  }
  LogMessage(kLogInfo, "Restored %s; starting the server once more.", files.c_str());
  const std::string by = JoinOnce(accounts, ", ");
  RaiseAlert({AlertKind::kRollback,
              "Rolled back the " + JoinOnce(what, " and the ") + " uploaded by " + by +
                  ": the server crashed at start-up " + std::to_string(crashes) + " times.",
              {{"by", by}, {"files", files}, {"crashes", std::to_string(crashes)}}});
}

}  // namespace

void KeepBeforeUpload(UploadKind kind) {
  if (!Enabled()) return;
  if (GameServer().monitoring && !GameServer().exited && RanSteadilySinceKept()) Forget();
  RollbackRecord& record = *g_record;
  if (!record.active) {
    record.active = true;
    record.keptAt = MonotonicNow();
  }
  for (std::size_t i = 0; i < kGuardedFiles; ++i) {
    if (kGuarded[i].kind != kind || record.files[i].kept) continue;
    ErrorCode() = 0;
    if (!KeepFile(i)) {
      LogMessage(kLogInfo, "Couldn't keep %s before the upload; it cannot be rolled back! %s",
                 OriginalPath(kGuarded[i]).c_str(), ErrorText(ErrorCode()));
    }
  }
  if (kind == UploadKind::kSettings && !record.haveTable) {
    record.table = SettingsTable();
    record.haveTable = true;
  }
}

void NoteUpload(UploadKind kind, int slot) {
  RollbackRecord& record = *g_record;
  if (!Enabled() || !record.active || !KeptWhole(kind)) return;
  if (record.uploads.size() >= kRollbackUploadsMax) {
    record.uploads.erase(record.uploads.begin());
    ++record.unnamed;
  }
  record.uploads.push_back({kind, ActorName(slot), ActorAddress(slot), Now()});
  record.uploaded[KindIndex(kind)] = true;
  record.lastUpload = MonotonicNow();
}

bool RollBackUpload(int crashes) {
  RollbackRecord& record = *g_record;
  if (!Opts().rollback || record.uploads.empty()) return false;
  // Copies kept past the window still hold the last state known to run: they
  // stay for a later upload's rollback.
  if (MonotonicNow() - record.lastUpload > kRollbackWindowSeconds) return false;
  // The table first: a servermanager.con that cannot be put back is written from it.
  const bool settings = record.uploaded[KindIndex(UploadKind::kSettings)] && record.haveTable;
  if (settings) SettingsTable() = record.table;
  std::vector<std::string> files;
  const bool whole = RestoreFiles(files);
  if (settings) {
    // Not taken for a hand edit at the next look.
    RememberSettingsFile(OriginalPath(kGuarded[kManagerFile]));
    NotifyAllClients(NOTE_SETTINGS_CHANGED, nullptr, 0, 0);
  }
  if (record.uploaded[KindIndex(UploadKind::kRotation)]) {
    NotifyAllClients(NOTE_ROTATION_CHANGED, nullptr, 0, 0);
  }
  if (!whole) {
    LogMessage(kLogInfo,
               "Couldn't roll back every file of the last upload; the server stays stopped.");
    // Once only: the copies that could not be put back stay for the operator.
    g_record.Reset();
    return false;
  }
  TellOfRollback(crashes, JoinOnce(files, ", "));
  Forget();
  return StartServer();
}

void FollowServerForRollback(Event event, const char*) {
  if ((event == Event::kServerCrashed || event == Event::kServerStopped) &&
      RanSteadilySinceKept()) {
    Forget();
  }
}

}  // namespace keldor
