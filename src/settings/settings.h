// The settings table: the 83 configuration values, their keys, types, defaults,
// bounds and pages, and the snapshot last exchanged with the game server.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace keldor {

enum class SettingType : std::int32_t {
  kPresence = 0,
  kBool = 1,
  kText = 2,
  kMessage = 3,
  kInteger = 4,
  kNegativeInteger = 5,
  kHundredths = 6,
  kTenths = 7,
  kChoice = 8,
  kAddress = 9,
  kRemoteConsole = 10,
  kRemoteAdmin = 11,
};

constexpr int kSettingCount = 83;
constexpr std::size_t kSettingTextMax = 324;  // the text field holds this much
constexpr int kSettingPages = 12;             // rights bits 0..11 may name a page
constexpr std::int32_t kCriticalSettingsRight = 0x8000;
constexpr std::size_t kSettingsLineMax = 1023;  // longest line read from a settings file

// The rows by key; the number is the row's place in the table.
enum class Setting : int {
  ServerName = 0,
  ServerDedicated = 1,
  ServerIP = 2,
  BindAllIntefaces = 3,
  ServerPort = 4,
  ConsolePort = 5,
  GameSpyPort = 6,
  GameSpyLANPort = 7,
  ASEPort = 8,
  ServerMaxPlayers = 9,
  SetServerWelcomeMessage = 10,
  ServerInternet = 11,
  ServerBandwidthChokeLimit = 12,
  ServerMaxAllowedConnectionType = 13,
  ServerCoopCPU = 14,
  ServerContentCheck = 15,
  ServerPassword = 16,
  ServerNumberOfRounds = 17,
  ServerGameTime = 18,
  ServerScoreLimit = 19,
  ServerTicketRatio = 20,
  ObjectiveAttackerTicketsMod = 21,
  ServerCoopAISkill = 22,
  ServerAlliedTeamRatio = 23,
  ServerAxisTeamRatio = 24,
  ServerSpawnTime = 25,
  SpawnWaveTime = 26,
  ServerGameStartDelay = 27,
  Gravity = 28,
  PhysicsGravity = 29,
  TimeBeforeRestartMap = 30,
  ServerSoldierFriendlyFire = 31,
  ServerSoldierFriendlyFireOnSplash = 32,
  ServerVehicleFriendlyFire = 33,
  ServerVehicleFriendlyFireOnSplash = 34,
  ServerKickback = 35,
  ServerKickbackOnSplash = 36,
  ServerTKPunishMode = 37,
  BanPlayerOnTKKick = 38,
  NrOfTKToKick = 39,
  SpawnDelayPenaltyForTK = 40,
  AutoKickScore = 41,
  AutoKickScoreValue = 42,
  AutoBan = 43,
  AutoBanValue = 44,
  ServerPunkBuster = 45,
  BanInBFandPB = 46,
  EnableKickPlayerVote = 47,
  EnableMapVote = 48,
  EnableKickTeamPlayerVote = 49,
  ServerAutoBalanceTeams = 50,
  SmartBalance = 51,
  SmartBalanceValue = 52,
  VotingTime = 53,
  VoteMapMajority = 54,
  VoteKickPlayerMajority = 55,
  VoteKickTeamPlayerMajority = 56,
  ServerExternalViews = 57,
  ServerAllowNoseCam = 58,
  ServerFreeCamera = 59,
  ServerHitIndication = 60,
  ServerDeathCameraType = 61,
  ServerCrosshairCenterpoint = 62,
  ServerNameTagDistance = 63,
  ServerNameTagDistanceScope = 64,
  ConsoleUsername = 65,
  ConsolePassword = 66,
  EnableRemoteConsole = 67,
  EnableRemoteAdmin = 68,
  ServerNumReservedSlots = 69,
  ServerReservedPassword = 70,
  MonitorTimerPeriod = 71,
  AutoKickPing = 72,
  AutoKickPingValue = 73,
  HighPingWarnings = 74,
  ToggleGamePause = 75,
  AutoKickWord = 76,
  AutoAnnounce = 77,
  AutoAnnouncePeriod = 78,
  ServerEventLogging = 79,
  ServerEventLogCompression = 80,
  StatCollection = 81,
  StatFilePath = 82,
};

struct SettingDef {
  std::int32_t page;
  const char* gameKey;     // game.* key in serversettings.con, or ""
  const char* commandKey;  // console command or manager.* key, or ""
  SettingType type;
  const char* defaultText;  // Text: default text; Choice: the option list
  std::int32_t defaultValue;
  std::int32_t minimum;
  std::int32_t maximum;
  std::int32_t critical;
  std::string text;          // Text, Message, Choice values (at most 324 characters)
  std::int32_t current = 0;  // numeric value in stored form
};

using SettingsRows = std::array<SettingDef, kSettingCount>;

// The live table and the snapshot (the values last read from or pushed to the game server).
SettingsRows& SettingsTable();
SettingsRows& SettingsSnapshot();
SettingDef& Row(Setting key);
inline int RowIndex(Setting key) {
  return static_cast<int>(key);
}

// The rows that hold a password (the join, reserved-slot and console
// passwords): their values never reach the log.
bool IsSecretSetting(int row);

// Puts the table back to its built-in definitions with every value cleared
// (tests and start-up), and empties the snapshot.

// Sets every row to its start value.
void ResetSettings();

// The setting's name: its game key, else its command key, else "[unknown]";
// "[bad index]" for a row outside the table.
const char* SettingName(int row);

// The lines of an open settings file that begin with a key, each with that key,
// read in one pass (a read error is logged and ends the lines).
struct SettingFileLine {
  std::string key;
  std::string text;  // the whole line, without its line end
};
using SettingFileLines = std::vector<SettingFileLine>;
SettingFileLines ReadSettingFile(std::FILE* file);

// What a value that fails validation gives way to: a file read whole (start-up,
// a scheduled start) sets the default; an upload keeps the value the setting had.
enum class OnInvalid { kUseDefault, kKeep };

// Finds the line of setting `row` among a settings file's lines by `name` (any
// case) and parses its value into the row; an invalid value is logged and
// handled as `onInvalid` says. False when a value was invalid.
bool ReadSetting(const SettingFileLines& lines, const char* name, int row,
                 OnInvalid onInvalid = OnInvalid::kUseDefault);

// The keys a settings file's lines name, in lower case, each with what follows
// the key and its space on its first line.
using SettingLines = std::map<std::string, std::string>;
SettingLines IndexSettingLines(const SettingFileLines& file);
// The line of setting `row` in `lines`, or null when the file does not name it.
const std::string* FindSettingLine(const SettingLines& lines, int row);

// The value part of the line WriteSettingLine writes for `row` (its first line).
std::string SettingValueText(int row);

// Appends the line of setting `row` to an open file under `key`; admin.* keys
// take the console's units.
void WriteSettingLine(std::FILE* file, const char* key, int row);

// Writes the rows of every page whose bit is set in `pageMask` (-1: all).
bool SaveSettingsFile(const std::string& path, std::int32_t pageMask);

// Who changes settings: their changes are logged under this name and address.
struct SettingsActor {
  std::string name;
  std::string address;
};

// Reads a settings file into the table under a rights mask; with an actor each
// change is logged as theirs, without one the file applies silently.
// A missing or empty file fails with ErrorCode ENOENT.
bool ApplySettingsFile(const std::string& path, std::int32_t rightsMask,
                       const SettingsActor* actor = nullptr);

// A settings file a client uploaded, applied as ApplySettingsFile does, except
// that a page the file holds only in part changes only the settings it names (a
// page held whole reads as always: a switch without its line is off), and that
// an empty text sent back as it was downloaded stays empty. `refused` receives
// the names of the settings whose values were not taken (invalid, or critical
// without the right and not as downloaded).
bool ApplyUploadedSettings(const std::string& path, std::int32_t rightsMask,
                           const SettingsActor& actor, std::vector<std::string>* refused);

// servermanager.con as Keldor last read or wrote it. SettingsFileEdited is true
// once for each change made to the file since (a first call only remembers it).
void RememberSettingsFile(const std::string& path);
bool SettingsFileEdited(const std::string& path);

// Copies the live table into the snapshot.
void CopySettingsToSnapshot();

}  // namespace keldor
