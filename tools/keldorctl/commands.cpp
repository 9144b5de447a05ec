// keldorctl's sub-commands, on the request patterns of the client library
// (tools/client/exchange.h): each turns the outcome into a line and an exit status.
#include "commands.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <sstream>

#include "alert.h"
#include "core/owned.h"
#include "fleet.h"
#include "lists.h"
#include "metrics.h"
#include "rights.h"
#include "users.h"
#include "wire/protocol.h"
#include "wire/rights.h"
#include "wire/transfer_frame.h"

namespace keldorctl {

using namespace keldor;

void PrintJson(const nlohmann::ordered_json& document) {
  std::printf(
      "%s\n",
      document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

int NotCarriedOut(const Connection& c, std::uint32_t request) {
  std::fprintf(stderr, "keldorctl: %s\n", RefusalText(c.Rights(), request).c_str());
  return kExitRefused;
}

int Finish(const Connection& c, Outcome outcome, std::uint32_t request) {
  switch (outcome) {
    case Outcome::kOk:
      return kExitOk;
    case Outcome::kBroken:
      return Broken(c);
    case Outcome::kRefused:
      return NotCarriedOut(c, request);
    case Outcome::kFailed:
      break;
  }
  std::fprintf(stderr, "keldorctl: %s\n", c.Error().c_str());
  return kExitFailed;
}

namespace {

constexpr std::size_t kTextMax = 255;  // a text payload holds 256 bytes with its NUL
constexpr int kLastClientSlot = 16;

// One notification per output line: control bytes in a text are shown escaped.
std::string Printable(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      shown += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  return shown;
}

// `watch` prints each notification behind the local time it arrived.
void PrintNote(const Message& note, bool json) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char stamp[32] = "";
  if (localtime_r(&now, &local) != nullptr) {
    std::strftime(stamp, sizeof stamp, json ? "%Y-%m-%dT%H:%M:%S%z" : "%Y-%m-%d %H:%M:%S ", &local);
  }
  const char* name = NoteName(note.code);
  if (json) {
    PrintJson({{"time", stamp},
               {"code", note.code},
               {"note", name != nullptr ? nlohmann::ordered_json(name) : nlohmann::ordered_json()},
               {"text",
                note.data.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(note.data)}});
    return;
  }
  std::printf("%s", stamp);
  if (name != nullptr) {
    std::printf("%s", name);
  } else {
    std::printf("0x%08X", static_cast<unsigned>(note.code));
  }
  if (!note.data.empty()) std::printf(" %s", Printable(note.data).c_str());
  std::printf("\n");
  std::fflush(stdout);
}

// Notifications that arrive while a command waits for its answer (a list
// changed, the game's chat and events) are what `watch` is for: a command
// prints its own outcome and nothing else.
void NoteWhileWaiting(const Message&) {}

int AwaitNote(Connection& c, std::initializer_list<std::uint32_t> done, Message* answer = nullptr) {
  Message ignored;
  return Finish(
      c, keldorclient::AwaitNote(c, done, answer != nullptr ? answer : &ignored, NoteWhileWaiting));
}

int RunJobRequest(Connection& c, std::uint32_t code, const std::string* text,
                  std::initializer_list<std::uint32_t> done, Message* answer = nullptr) {
  Message ignored;
  return Finish(c,
                keldorclient::RunJobRequest(
                    c, code, text, done, answer != nullptr ? answer : &ignored, NoteWhileWaiting),
                code);
}

std::string Joined(const std::vector<std::string>& words, std::size_t from = 0) {
  std::string text;
  for (std::size_t k = from; k < words.size(); ++k) {
    if (k > from) text += ' ';
    text += words[k];
  }
  return text;
}

bool FitsPayload(const std::string& text) {
  if (text.size() <= kTextMax) return true;
  std::fprintf(stderr, "keldorctl: the text is %zu characters long; at most %zu travel.\n",
               text.size(), kTextMax);
  return false;
}

bool IsNumber(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 10) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(c) != 0; })) {
    return false;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  return value >= low && value <= high;
}

// ---- Simple requests -------------------------------------------------------

int RunPing(Connection& c, const Options&) {
  if (!c.SendRequest(REQ_PING)) return Broken(c);
  const int status = AwaitNote(c, {NOTE_PONG});
  if (status == kExitOk) std::printf("pong\n");
  return status;
}

int AwaitText(Connection& c, std::uint32_t code, Message* reply) {
  return Finish(c, keldorclient::AwaitText(c, code, reply, NoteWhileWaiting), code);
}

int RunStatus(Connection& c, const Options& o) {
  Message reply;
  if (const int status = AwaitText(c, REQ_GET_STATUS, &reply); status != kExitOk) return status;
  if (reply.emptyReply) {
    std::fprintf(stderr, "keldorctl: Keldor could not get the server's status.\n");
    return kExitFailed;
  }
  const std::vector<std::string> fields = SplitStatus(reply.data);
  if (o.json) {
    PrintJson(StatusJson(fields));
    return kExitOk;
  }
  for (std::size_t k = 0; k < fields.size(); ++k) {
    const char* label = k < kStatusFields ? kStatusLabels[k] : "?";
    std::printf("%-15s %s\n", label, fields[k].c_str());
  }
  return kExitOk;
}

int RunJoinInfo(Connection& c, const Options& o) {
  Message reply;
  if (const int status = AwaitText(c, REQ_GET_JOIN_INFO, &reply); status != kExitOk) {
    return status;
  }
  const std::size_t comma = reply.data.find(',');
  if (reply.emptyReply || comma == std::string::npos) {
    std::fprintf(stderr,
                 "keldorctl: the join information is not available (is the server "
                 "running?).\n");
    return kExitFailed;
  }
  if (o.json) {
    PrintJson({{"game_port", NumberOrNull(reply.data.substr(0, comma))},
               {"internet", reply.data.substr(comma + 1) == "1"}});
    return kExitOk;
  }
  std::printf("Game port %s\nInternet  %s\n", reply.data.substr(0, comma).c_str(),
              reply.data.substr(comma + 1) == "1" ? "yes" : "no");
  return kExitOk;
}

int RunWatch(Connection& c, const Options& o) {
  Message note;
  for (;;) {
    if (!c.Receive(&note, kWaitForever)) return c.Interrupted() ? kExitOk : Broken(c);
    if (!note.isNote) {
      c.SetError("Keldor sent a reply nobody asked for.");
      return Broken(c);
    }
    PrintNote(note, o.json);
    if (note.code == NOTE_DISCONNECT) return kExitOk;
  }
}

// ---- The game server -------------------------------------------------------

int RunStart(Connection& c, const Options&) {
  Message answer;
  const int status = RunJobRequest(c, REQ_START_SERVER, nullptr,
                                   {NOTE_SERVER_STARTED, NOTE_ALREADY_RUNNING}, &answer);
  if (status != kExitOk) return status;
  std::printf(answer.code == NOTE_ALREADY_RUNNING ? "The server is already running.\n"
                                                  : "The server has been started.\n");
  return kExitOk;
}

int RunStop(Connection& c, const Options&) {
  Message answer;
  const int status = RunJobRequest(c, REQ_STOP_SERVER, nullptr,
                                   {NOTE_SERVER_STOPPED, NOTE_ALREADY_STOPPED}, &answer);
  if (status != kExitOk) return status;
  std::printf(answer.code == NOTE_ALREADY_STOPPED ? "The server is already stopped.\n"
                                                  : "The server has been stopped.\n");
  return kExitOk;
}

int RunPause(Connection& c, const Options&) {
  Message answer;
  const int status =
      RunJobRequest(c, REQ_TOGGLE_PAUSE, nullptr, {NOTE_GAME_PAUSED, NOTE_GAME_RESUMED}, &answer);
  if (status != kExitOk) return status;
  std::printf(answer.code == NOTE_GAME_PAUSED ? "The game is paused.\n"
                                              : "The game is running again.\n");
  return kExitOk;
}

// ---- Players and clients ---------------------------------------------------

// The fields of a player list line behind the name.
constexpr std::size_t kPlayerFields = 9;  // id, team, score, kills, deaths, ping, ip, keyhash, guid
constexpr std::size_t kPlayerAddress = 6, kPlayerKeyhash = 7, kPlayerGuid = 8;
constexpr const char* kPlayersHeader = "name,id,team,score,kills,deaths,ping,address,keyhash,guid";

// The name (and the other fields) of the player with `id` in the list Keldor
// reports; false when there is none, with the reason printed and `*status` set.
bool FindPlayer(Connection& c, const std::string& id, std::string* name, int* status,
                std::vector<std::string>* found = nullptr) {
  std::string content;
  *status = Fetch(c, REQ_GET_PLAYERS, &content);
  if (*status != kExitOk) return false;
  std::vector<std::string> scratch;
  std::vector<std::string>& fields = found != nullptr ? *found : scratch;
  for (const std::string& line : Lines(content)) {
    if (SplitListLine(line, kPlayerFields, name, &fields) &&
        std::strtol(fields[0].c_str(), nullptr, 10) == std::strtol(id.c_str(), nullptr, 10)) {
      return true;
    }
  }
  std::fprintf(stderr, "keldorctl: no such player: Keldor lists no player with the id %s%s.\n",
               id.c_str(), content.empty() ? " (it lists no players at all)" : "");
  *status = kExitFailed;
  return false;
}

bool CheckKick(const Options& o) {
  if (o.args.empty() || !IsNumber(o.args[0], 0, 0x7FFFFFFF)) {
    std::fprintf(stderr, "keldorctl: kick needs a player id.\n");
    return false;
  }
  return FitsPayload(o.args[0] + "," + Joined(o.args, 1));
}

int RunKick(Connection& c, const Options& o) {
  std::string name;
  if (int status = 0; !FindPlayer(c, o.args[0], &name, &status)) return status;
  const std::string text = o.args[0] + "," + Joined(o.args, 1);
  Message answer;
  const int status = RunJobRequest(c, REQ_KICK_PLAYER, &text, {NOTE_PLAYER_KICKED}, &answer);
  if (status == kExitOk) std::printf("Kicked %s.\n", Printable(answer.data).c_str());
  return status;
}

// ban <id> <name> <seconds> [reason] with --address, --keyhash, --guid anywhere.
constexpr const char* kOffServer = "-1";

bool ParseBan(const Options& o, BanFields* ban) {
  std::vector<std::string> plain;
  for (std::size_t k = 0; k < o.args.size(); ++k) {
    const std::string& arg = o.args[k];
    std::string* target = arg == "--address"   ? &ban->address
                          : arg == "--keyhash" ? &ban->keyhash
                          : arg == "--guid"    ? &ban->guid
                                               : nullptr;
    if (target == nullptr) {
      plain.push_back(arg);
    } else if (k + 1 < o.args.size()) {
      *target = o.args[++k];
    } else {
      std::fprintf(stderr, "keldorctl: %s needs a value.\n", arg.c_str());
      return false;
    }
  }
  // Id -1: a player who is not on the server; the ban goes on the identifiers given.
  if (plain.size() < 3 || (plain[0] != kOffServer && !IsNumber(plain[0], 0, 0x7FFFFFFF)) ||
      !IsNumber(plain[2], 0, 0x7FFFFFFF)) {
    std::fprintf(stderr, "keldorctl: ban needs a player id, a name and a duration in seconds.\n");
    return false;
  }
  ban->id = plain[0];
  ban->name = plain[1];
  ban->duration = plain[2];
  ban->reason = Joined(plain, 3);
  return true;
}

// Seven fields, each ended by 0xFF, within one text payload.
bool BanTextFits(const BanFields& ban) {
  const std::string text = BanText(ban);
  if (std::count(text.begin(), text.end(), kBanFieldEnd) != 7) {
    std::fprintf(stderr, "keldorctl: a ban field holds the byte 0xFF.\n");
    return false;
  }
  return FitsPayload(text);
}

bool CheckBan(const Options& o) {
  BanFields ban;
  return ParseBan(o, &ban) && BanTextFits(ban);
}

// An identifier not given on the command line is taken from the player list,
// where the game reports it: the game bans a player on the server by them.
void FillIdentifier(std::string* field, const std::string& listed) {
  if (IsUnknown(*field) && !IsUnknown(listed)) *field = listed;
}

// "address A, keyhash K" for the identifiers the ban carries.
std::string BanIdentifiers(const BanFields& ban) {
  std::string text;
  const std::pair<const char*, const std::string*> identifiers[] = {
      {"address", &ban.address}, {"keyhash", &ban.keyhash}, {"GUID", &ban.guid}};
  for (const auto& [label, value] : identifiers) {
    if (IsUnknown(*value)) continue;
    text += (text.empty() ? "" : ", ") + std::string(label) + " " + Printable(*value);
  }
  return text.empty() ? "no identifier known" : text;
}

int RunBan(Connection& c, const Options& o) {
  BanFields ban;
  ParseBan(o, &ban);
  // The id is checked where the account may list the players (P); an account
  // with only the bans right (B) bans as it always did.
  if ((c.Rights() & kRightP) != 0 && ban.id != kOffServer) {
    std::string name;
    std::vector<std::string> fields;
    if (int status = 0; !FindPlayer(c, ban.id, &name, &status, &fields)) return status;
    if (strcasecmp(name.c_str(), ban.name.c_str()) != 0) {
      std::fprintf(stderr, "keldorctl: the player with the id %s is %s, not %s.\n", ban.id.c_str(),
                   Printable(name).c_str(), Printable(ban.name).c_str());
      return kExitFailed;
    }
    FillIdentifier(&ban.address, fields[kPlayerAddress]);
    FillIdentifier(&ban.keyhash, fields[kPlayerKeyhash]);
    FillIdentifier(&ban.guid, fields[kPlayerGuid]);
  }
  if (!BanTextFits(ban)) return kExitFailed;  // the listed identifiers may make it too long
  const std::string text = BanText(ban);
  Message answer;
  const int status = RunJobRequest(c, REQ_BAN_PLAYER, &text, {NOTE_PLAYER_BANNED}, &answer);
  if (status != kExitOk) return status;
  std::printf("Banned %s", Printable(answer.data).c_str());
  if (ban.id != kOffServer) std::printf(" (player id %s)", ban.id.c_str());
  std::printf(" on %s.\n", BanIdentifiers(ban).c_str());
  return kExitOk;
}

bool CheckUnban(const Options& o) {
  if (o.args.empty() || o.args.size() > 4) {
    std::fprintf(stderr,
                 "keldorctl: unban needs a name and at most an address, a keyhash and a "
                 "GUID.\n");
    return false;
  }
  for (const std::string& field : o.args) {
    if (field.find(',') != std::string::npos) {
      std::fprintf(stderr, "keldorctl: an unban field may not hold a comma.\n");
      return false;
    }
  }
  return FitsPayload(Joined(o.args));
}

// The fields of a remove-ban request: name, address, keyhash, GUID; an
// identifier the ban does not hold goes empty.
std::string UnbanText(const nlohmann::ordered_json& ban) {
  std::string text = ban["name"].get<std::string>();
  std::erase(text, ',');  // the name is only reported back; a comma would shift the fields
  for (const char* key : {"address", "keyhash", "guid"}) {
    text += ",";
    if (ban[key].is_string()) text += ban[key].get<std::string>();
  }
  return text;
}

bool HoldsAny(const nlohmann::ordered_json& ban, const Options& o) {
  constexpr const char* kKeys[] = {"address", "keyhash", "guid"};
  for (std::size_t k = 1; k < o.args.size(); ++k) {
    const auto& value = ban[kKeys[k - 1]];
    if (!o.args[k].empty() && value.is_string() &&
        strcasecmp(value.get<std::string>().c_str(), o.args[k].c_str()) == 0) {
      return true;
    }
  }
  return false;
}

// Keldor lifts a ban by its identifiers and takes any request as done, so the
// ban is looked up in the ban list first: by name alone its identifiers come
// from there; with identifiers given, one ban must hold one of them.
int RunUnban(Connection& c, const Options& o) {
  std::string content;
  if (const int status = Fetch(c, REQ_GET_BANS, &content); status != kExitOk) return status;
  std::vector<std::string> texts;
  bool listed = false;
  for (const auto& ban : BansJson(content)) {
    const bool named = strcasecmp(ban["name"].get<std::string>().c_str(), o.args[0].c_str()) == 0;
    listed = listed || named || HoldsAny(ban, o);
    if (named && o.args.size() == 1) texts.push_back(UnbanText(ban));
  }
  if (!listed) {
    std::fprintf(stderr, "keldorctl: no ban on %s\n", Printable(o.args[0]).c_str());
    return kExitFailed;
  }
  if (o.args.size() > 1) {
    std::string text;
    for (std::size_t k = 0; k < o.args.size(); ++k) text += (k > 0 ? "," : "") + o.args[k];
    texts.push_back(text);
  }
  for (std::string& text : texts) {
    if (!FitsPayload(text)) return kExitFailed;
    Message answer;
    const int status = RunJobRequest(c, REQ_REMOVE_BAN, &text, {NOTE_BAN_REMOVED}, &answer);
    if (status != kExitOk) return status;
    std::printf("Removed the ban on %s.\n", Printable(answer.data).c_str());
  }
  return kExitOk;
}

// A ban's time for a person: local date and time; 0 is `zero`.
std::string BanTime(const nlohmann::ordered_json& seconds, const char* zero) {
  if (!seconds.is_number() || seconds.get<long long>() <= 0) return zero;
  return LocalTimeText(static_cast<std::time_t>(seconds.get<long long>()));
}

std::string ShownOrDash(const nlohmann::ordered_json& value) {
  return value.is_string() ? Printable(value.get<std::string>()) : "-";
}

void PrintBanRow(const std::array<std::string, 8>& cells) {
  std::printf("%-20s  %-15s  %-32s  %-32s  %-12s  %-19s  %-19s  %s\n", cells[0].c_str(),
              cells[1].c_str(), cells[2].c_str(), cells[3].c_str(), cells[4].c_str(),
              cells[5].c_str(), cells[6].c_str(), cells[7].c_str());
}

int RunBans(Connection& c, const Options& o) {
  std::string content;
  if (const int status = Fetch(c, REQ_GET_BANS, &content); status != kExitOk) return status;
  const nlohmann::ordered_json bans = BansJson(content);
  if (o.json) {
    PrintJson(bans);
    return kExitOk;
  }
  PrintBanRow({"Name", "Address", "Keyhash", "GUID", "By", "Since", "Until", "Reason"});
  for (const auto& ban : bans) {
    PrintBanRow({ShownOrDash(ban["name"]), ShownOrDash(ban["address"]), ShownOrDash(ban["keyhash"]),
                 ShownOrDash(ban["guid"]), ShownOrDash(ban["admin"]), BanTime(ban["start"], "-"),
                 BanTime(ban["end"], "permanent"), ShownOrDash(ban["reason"])});
  }
  return kExitOk;
}

int RunClearBans(Connection& c, const Options&) {
  const int status = RunJobRequest(c, REQ_CLEAR_BANS, nullptr, {NOTE_BANS_CLEARED});
  if (status == kExitOk) std::printf("The ban lists are cleared.\n");
  return status;
}

int RunVerifyBans(Connection& c, const Options&) {
  Message answer;
  const int status = RunJobRequest(c, REQ_VERIFY_BAN_SYNC, nullptr,
                                   {NOTE_BANS_IN_SYNC, NOTE_BANS_NOT_IN_SYNC}, &answer);
  if (status != kExitOk) return status;
  if (answer.code == NOTE_BANS_NOT_IN_SYNC) {
    std::printf("The ban lists are NOT in step.\n");
    return kExitFailed;
  }
  std::printf("The ban lists are in step.\n");
  return kExitOk;
}

bool CheckSyncBans(const Options& o) {
  if (o.args.size() == 1 && (o.args[0] == "to" || o.args[0] == "from")) return true;
  std::fprintf(stderr, "keldorctl: sync-bans needs \"to\" or \"from\".\n");
  return false;
}

int RunSyncBans(Connection& c, const Options& o) {
  const std::uint32_t code =
      o.args[0] == "to" ? REQ_SYNC_TO_SERVER_BANS : REQ_SYNC_FROM_SERVER_BANS;
  const int status = RunJobRequest(c, code, nullptr, {NOTE_BANS_IN_SYNC});
  if (status == kExitOk) std::printf("The ban lists are in step.\n");
  return status;
}

bool CheckScreenshot(const Options& o) {
  if (o.args.empty()) {
    std::fprintf(stderr, "keldorctl: screenshot needs a player.\n");
    return false;
  }
  return FitsPayload(Joined(o.args));
}

int RunScreenshot(Connection& c, const Options& o) {
  const std::string text = Joined(o.args);
  const int status = RunJobRequest(c, REQ_SCREENSHOT, &text, {NOTE_SCREENSHOT_REQUESTED});
  if (status == kExitOk) std::printf("PunkBuster was asked for the screenshot.\n");
  return status;
}

bool CheckDisconnect(const Options& o) {
  if (o.args.size() == 1 && IsNumber(o.args[0], 1, kLastClientSlot)) return true;
  std::fprintf(stderr, "keldorctl: disconnect needs a client slot 1 to 16 (see clients).\n");
  return false;
}

// The job tells only the client it drops; the pong behind it says it has run.
int RunDisconnect(Connection& c, const Options& o) {
  const int status = RunJobRequest(c, REQ_DISCONNECT_CLIENT, &o.args[0], {NOTE_PONG});
  if (status == kExitOk) std::printf("Disconnect of client %s requested.\n", o.args[0].c_str());
  return status;
}

// ---- Chat, console, password -----------------------------------------------

bool CheckSomeText(const Options& o) {
  if (o.args.empty()) {
    std::fprintf(stderr, "keldorctl: %s needs a text.\n", o.command.c_str());
    return false;
  }
  return FitsPayload(Joined(o.args));
}

int RunSay(Connection& c, const Options& o) {
  const std::string text = Joined(o.args);
  const int status = RunJobRequest(c, REQ_SAY_ALL, &text, {NOTE_CHAT_SENT});
  if (status == kExitOk) std::printf("Said it to every player.\n");
  return status;
}

int RunMessage(Connection& c, const Options& o) {
  const std::string text = Joined(o.args);
  const int status = RunJobRequest(c, REQ_SERVER_MESSAGE, &text, {NOTE_SERVER_MESSAGE_SENT});
  if (status == kExitOk) std::printf("Sent the server message.\n");
  return status;
}

int RunConsole(Connection& c, const Options& o) {
  const std::string text = Joined(o.args);
  // Keldor sends the game's reply as a console line to this client alone, just
  // before the "done": the last console line heard before it is the reply.
  std::string reply;
  const auto keepReply = [&reply](const Message& note) {
    reply = note.code == NOTE_CONSOLE_EVENT ? note.data : std::string();
  };
  Message done;
  const int status =
      Finish(c,
             keldorclient::RunJobRequest(c, REQ_CONSOLE_COMMAND, &text, {NOTE_CONSOLE_COMMAND_DONE},
                                         &done, keepReply),
             REQ_CONSOLE_COMMAND);
  if (status != kExitOk) return status;
  if (reply.empty()) {
    std::printf("The game server accepted the command and said nothing.\n");
  } else {
    std::fputs(reply.c_str(), stdout);
    if (reply.back() != '\n') std::fputc('\n', stdout);
  }
  return status;
}

bool ReadSecret(const char* question, std::string* answer) {
  const OwnedFd owned(open("/dev/tty", O_RDWR | O_CLOEXEC));
  const int tty = owned.get();
  if (tty < 0) return false;
  termios saved{};
  const bool quiet = tcgetattr(tty, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(tty, TCSAFLUSH, &silent);
  }
  if (write(tty, question, std::strlen(question)) < 0) answer->clear();
  std::string line;
  char c = 0;
  while (read(tty, &c, 1) == 1 && c != '\n' && line.size() < 256) line += c;
  if (quiet) tcsetattr(tty, TCSAFLUSH, &saved);
  if (write(tty, "\n", 1) < 0) line.clear();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  *answer = line;
  return true;
}

}  // namespace

bool PromptNewPassword(std::string* password) {
  if (const char* env = std::getenv("KELDOR_NEW_PASSWORD")) {
    *password = env;
  } else {
    std::string again;
    if (!ReadSecret("New password: ", password) || !ReadSecret("Again: ", &again)) {
      std::fprintf(stderr,
                   "keldorctl: no new password given (KELDOR_NEW_PASSWORD or a terminal).\n");
      return false;
    }
    if (*password != again) {
      std::fprintf(stderr, "keldorctl: the two passwords differ.\n");
      return false;
    }
  }
  if (password->empty() || password->size() > kPasswordMax) {
    std::fprintf(stderr, "keldorctl: a password has 1 to %zu characters.\n", kPasswordMax);
    return false;
  }
  return true;
}

namespace {

// The new password: the argument, else as PromptNewPassword finds it.
bool NewPassword(const Options& o, std::string* password) {
  if (o.args.empty()) return PromptNewPassword(password);
  *password = o.args[0];
  if (password->empty() || password->size() > kPasswordMax) {
    std::fprintf(stderr, "keldorctl: a password has 1 to %zu characters.\n", kPasswordMax);
    return false;
  }
  return true;
}

bool CheckPasswd(const Options& o) {
  if (o.args.size() > 1) {
    std::fprintf(stderr, "keldorctl: passwd takes at most the new password.\n");
    return false;
  }
  if (o.args.empty()) return true;  // asked for after the login
  std::string password;
  return NewPassword(o, &password);
}

int RunPasswd(Connection& c, const Options& o) {
  std::string password;
  if (!NewPassword(o, &password)) return kExitUsage;
  const int status = RunJobRequest(c, REQ_SET_PASSWORD, &password, {NOTE_PASSWORD_CHANGED});
  if (status == kExitOk) std::printf("The password has been changed.\n");
  return status;
}

// ---- Maps ------------------------------------------------------------------

struct MapAction {
  const char* name;
  std::uint32_t request;
  std::uint32_t done;
  bool takesCombo;
  const char* confirmation;  // %s: the combo
};

constexpr MapAction kMapActions[] = {
    {"change", REQ_CHANGE_MAP, NOTE_MAP_CHANGED, true, "The map is changing to %s.\n"},
    {"next", REQ_RUN_NEXT_MAP, NOTE_NEXT_MAP_RUN, false,
     "The next map of the rotation is starting.\n"},
    {"set-next", REQ_SET_NEXT_MAP, NOTE_NEXT_MAP_SET, true, "The next map will be %s.\n"},
    {"idle", REQ_SET_IDLE_MAP, NOTE_IDLE_MAP_SET, true, "The idle map is %s.\n"},
    {"restart", REQ_RESTART_MAP, NOTE_MAP_RESTARTED, false, "The map is restarting.\n"},
};

constexpr const char* kNoIdleMap = "none";

// The game modes in the order of their bits in maps.con.
constexpr const char* kGameModes[] = {"GPM_CQ", "GPM_COOP", "GPM_EVOL", "GPM_CCOMBAT"};

int GameModeBit(const std::string& mode) {
  for (std::size_t bit = 0; bit < std::size(kGameModes); ++bit) {
    if (strcasecmp(mode.c_str(), kGameModes[bit]) == 0) return static_cast<int>(bit);
  }
  return -1;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Checks "map mode mod" against the mods and maps Keldor offers: kExitOk, or
// the exit status with what is wrong printed.
int CheckInstalledCombo(Connection& c, const std::string& combo) {
  const std::vector<std::string> words = Words(combo);
  const std::string &map = words[0], &mode = words[1], &mod = words[2];
  std::string mods;
  std::string maps;
  if (const int status = Fetch(c, REQ_GET_MODS, &mods); status != kExitOk) return status;
  if (const int status = Fetch(c, REQ_GET_MAPS, &maps); status != kExitOk) return status;
  const std::vector<std::string> modLines = Lines(mods);
  if (std::none_of(modLines.begin(), modLines.end(),
                   [&](const std::string& m) { return strcasecmp(m.c_str(), mod.c_str()) == 0; })) {
    std::string installed;
    for (const std::string& m : modLines) installed += (installed.empty() ? "" : ", ") + m;
    std::fprintf(stderr, "keldorctl: no such mod: %s (installed: %s).\n", mod.c_str(),
                 installed.empty() ? "none" : installed.c_str());
    return kExitFailed;
  }
  // maps.con: "mod,map,game-mode bits" per line.
  for (const std::string& line : Lines(maps)) {
    const std::size_t first = line.find(',');
    const std::size_t second = line.find(',', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    if (strcasecmp(line.substr(0, first).c_str(), mod.c_str()) != 0 ||
        strcasecmp(line.substr(first + 1, second - first - 1).c_str(), map.c_str()) != 0) {
      continue;
    }
    const unsigned long bits = std::strtoul(line.c_str() + second + 1, nullptr, 10);
    if ((bits & (1UL << GameModeBit(mode))) != 0) return kExitOk;
    std::string offered;
    for (std::size_t bit = 0; bit < std::size(kGameModes); ++bit) {
      if ((bits & (1UL << bit)) != 0)
        offered += (offered.empty() ? "" : ", ") + std::string(kGameModes[bit]);
    }
    std::fprintf(stderr, "keldorctl: the map %s of %s has no game mode %s (it has %s).\n",
                 map.c_str(), mod.c_str(), mode.c_str(),
                 offered.empty() ? "none" : offered.c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "keldorctl: no such map: %s is not installed in %s (see get maps).\n",
               map.c_str(), mod.c_str());
  return kExitFailed;
}

const MapAction* FindMapAction(const Options& o) {
  if (o.args.empty()) return nullptr;
  for (const MapAction& action : kMapActions) {
    if (o.args[0] == action.name) return &action;
  }
  return nullptr;
}

// The combo the action sends; "idle none" sends the empty combo that turns
// the idle map off.
std::string MapCombo(const MapAction& action, const Options& o) {
  const std::string combo = Joined(o.args, 1);
  if (action.request == REQ_SET_IDLE_MAP && strcasecmp(combo.c_str(), kNoIdleMap) == 0) return "";
  return combo;
}

bool CheckMap(const Options& o) {
  const MapAction* action = FindMapAction(o);
  if (action == nullptr) {
    std::fprintf(stderr, "keldorctl: map needs change, next, set-next, idle or restart.\n");
    return false;
  }
  const std::string combo = MapCombo(*action, o);
  // An empty idle combo turns the idle map off; the others need a map.
  if (action->takesCombo && combo.empty() && action->request != REQ_SET_IDLE_MAP) {
    std::fprintf(stderr, "keldorctl: map %s needs a map combo (\"map mode mod\").\n", action->name);
    return false;
  }
  if (!action->takesCombo && o.args.size() > 1) {
    std::fprintf(stderr, "keldorctl: map %s takes no map.\n", action->name);
    return false;
  }
  if (!combo.empty()) {
    const std::vector<std::string> words = Words(combo);
    if (words.size() != 3) {
      std::fprintf(stderr, "keldorctl: a map combo is three words: map, game mode and mod.\n");
      return false;
    }
    if (GameModeBit(words[1]) < 0) {
      std::fprintf(stderr,
                   "keldorctl: %s is not a game mode (GPM_CQ, GPM_COOP, GPM_EVOL or "
                   "GPM_CCOMBAT).\n",
                   words[1].c_str());
      return false;
    }
  }
  return FitsPayload(combo);
}

int RunMap(Connection& c, const Options& o) {
  const MapAction* action = FindMapAction(o);
  const std::string combo = MapCombo(*action, o);
  if (!combo.empty()) {
    if (const int status = CheckInstalledCombo(c, combo); status != kExitOk) return status;
  }
  Message answer;
  const int status = RunJobRequest(c, action->request, action->takesCombo ? &combo : nullptr,
                                   {action->done}, &answer);
  if (status != kExitOk) return status;
  if (action->request == REQ_SET_IDLE_MAP && answer.data.empty()) {
    std::printf("There is no idle map now.\n");
  } else {
    std::printf(action->confirmation, Printable(answer.data).c_str());
  }
  return kExitOk;
}

// ---- PunkBuster ------------------------------------------------------------

bool CheckPb(const Options& o) {
  if (o.args.size() == 1 && (o.args[0] == "save" || o.args[0] == "load")) return true;
  std::fprintf(stderr, "keldorctl: pb needs \"save\" or \"load\".\n");
  return false;
}

int RunPb(Connection& c, const Options& o) {
  const bool save = o.args[0] == "save";
  const int status = save ? RunJobRequest(c, REQ_PB_SAVE_CONFIG, nullptr, {NOTE_PB_CONFIG_SAVED})
                          : RunJobRequest(c, REQ_PB_LOAD_CONFIG, nullptr, {NOTE_PB_CONFIG_LOADED});
  if (status == kExitOk)
    std::printf(save ? "PunkBuster saved pbsv.cfg.\n" : "PunkBuster loaded pbsv.cfg.\n");
  return status;
}

// ---- Files -----------------------------------------------------------------

struct FileKind {
  const char* name;
  std::uint32_t get;  // 0: cannot be fetched
  std::uint32_t put;  // 0: cannot be stored
  // Stored as sent and fetched under the same right, so a put can be checked
  // by fetching the file back.
  bool checkable;
};

constexpr FileKind kFiles[] = {
    {"settings", REQ_GET_SETTINGS, REQ_PUT_SETTINGS, false},
    {"pbconfig", REQ_GET_PB_CONFIG, REQ_PUT_PB_CONFIG, false},
    {"mods", REQ_GET_MODS, 0, false},
    {"maps", REQ_GET_MAPS, 0, false},
    {"rotation", REQ_GET_ROTATION, REQ_PUT_ROTATION, true},
    {"players", REQ_GET_PLAYERS, 0, false},
    {"clients", REQ_GET_CLIENTS, 0, false},
    {"playermenu", REQ_GET_PLAYER_MENU, 0, false},
    {"bans", REQ_GET_BANS, REQ_PUT_BANS, true},
    {"users", REQ_GET_USERS, REQ_PUT_USERS, false},
    {"schedule", REQ_GET_SCHEDULE, REQ_PUT_SCHEDULE, true},
    {"announcements", REQ_GET_ANNOUNCEMENTS, REQ_PUT_ANNOUNCEMENTS, true},
    {"bannedwords", REQ_GET_BANNED_WORDS, REQ_PUT_BANNED_WORDS, true},
    {"log", REQ_GET_LOG, 0, false},
};

const FileKind* FindFile(const std::string& name) {
  for (const FileKind& kind : kFiles) {
    if (name == kind.name) return &kind;
  }
  return nullptr;
}

std::string FileNames(bool puttable) {
  std::string names;
  for (const FileKind& kind : kFiles) {
    if (puttable && kind.put == 0) continue;
    if (!names.empty()) names += ", ";
    names += kind.name;
  }
  return names;
}

}  // namespace

int Fetch(Connection& c, std::uint32_t request, std::string* content) {
  return Finish(c, keldorclient::Fetch(c, request, content, NoteWhileWaiting), request);
}

int Upload(Connection& c, std::uint32_t request, const std::string& content) {
  return Finish(c, keldorclient::Upload(c, request, content, NoteWhileWaiting), request);
}

namespace {

// Writes beside the destination and renames, so it is never left half-written.
bool WriteDestination(const std::string& path, const std::string& content) {
  if (path == "-") {
    return std::fwrite(content.data(), 1, content.size(), stdout) == content.size() &&
           std::fflush(stdout) == 0;
  }
  std::string temporary = path + ".XXXXXX";
  OwnedFd owned(mkostemp(temporary.data(), O_CLOEXEC));
  const int fd = owned.get();
  bool ok = fd >= 0;
  for (std::size_t done = 0; ok && done < content.size();) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  const mode_t mask = umask(0);  // mkostemp makes it 0600: give it a plain file's mode
  umask(mask);
  if (fd >= 0 && fchmod(fd, 0666 & ~mask) != 0) ok = false;
  if (fd >= 0 && !owned.Close()) ok = false;
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return true;
  const int error = errno;
  if (fd >= 0) unlink(temporary.c_str());
  std::fprintf(stderr, "keldorctl: couldn't write %s: %s\n", path.c_str(), std::strerror(error));
  return false;
}

bool ReadSource(const std::string& path, std::string* content) {
  const FileHandle owned(path == "-" ? nullptr : std::fopen(path.c_str(), "rb"));
  std::FILE* in = path == "-" ? stdin : owned.get();
  if (in == nullptr) {
    std::fprintf(stderr, "keldorctl: couldn't open %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  content->clear();
  char buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0 && content->size() <= kMaxFile) {
    content->append(buffer, n);
  }
  const bool failed = std::ferror(in) != 0;
  if (failed) {
    std::fprintf(stderr, "keldorctl: couldn't read %s.\n", path.c_str());
    return false;
  }
  if (content->size() > kMaxFile) {
    std::fprintf(stderr, "keldorctl: %s is larger than Keldor takes (%u bytes).\n", path.c_str(),
                 kMaxFile);
    return false;
  }
  return true;
}

bool CheckGet(const Options& o) {
  const FileKind* kind = o.args.empty() ? nullptr : FindFile(o.args[0]);
  if (kind == nullptr || o.args.size() > 2) {
    std::fprintf(stderr, "keldorctl: get needs one of: %s; then optionally a file.\n",
                 FileNames(false).c_str());
    return false;
  }
  return true;
}

int RunGet(Connection& c, const Options& o) {
  std::string content;
  if (const int status = Fetch(c, FindFile(o.args[0])->get, &content); status != kExitOk) {
    return status;
  }
  return WriteDestination(o.args.size() > 1 ? o.args[1] : "-", content) ? kExitOk : kExitFailed;
}

bool CheckPut(const Options& o) {
  const FileKind* kind = o.args.empty() ? nullptr : FindFile(o.args[0]);
  if (kind == nullptr || kind->put == 0 || o.args.size() > 2) {
    std::fprintf(stderr, "keldorctl: put needs one of: %s; then optionally a file (else stdin).\n",
                 FileNames(true).c_str());
    return false;
  }
  return true;
}

// What Keldor takes as an event: six fields parted by commas (a run of commas
// parts once, the sixth runs to the line end), the first starting with a time
// of decimal digits, not 0, within 32 bits.
bool ScheduleEventLine(const std::string& line) {
  constexpr std::size_t kLineMax = 1023;
  if (line.size() > kLineMax) return false;
  std::size_t pos = 0;
  for (int field = 0; field < 5; ++field) {
    const std::size_t start = line.find_first_not_of(',', pos);
    if (start == std::string::npos) return false;
    pos = line.find(',', start);
    if (pos == std::string::npos) return false;
    ++pos;
  }
  if (pos >= line.size()) return false;
  std::uint64_t time = 0;
  std::size_t digits = 0;
  for (; digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits])); ++digits) {
    time = time * 10 + static_cast<std::uint64_t>(line[digits] - '0');
    if (time > UINT32_MAX) return false;
  }
  return digits > 0 && time != 0;
}

// Keldor passes over schedule lines it cannot take, and keeps at most 64
// events: the lines it would pass over are named before anything is sent.
bool ScheduleTaken(const std::string& content) {
  constexpr std::size_t kMaxEvents = 64;
  std::istringstream in(content);
  std::string skipped;
  std::size_t events = 0;
  std::size_t number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (ScheduleEventLine(line) && ++events <= kMaxEvents) continue;
    skipped += (skipped.empty() ? "" : ", ") + std::to_string(number);
  }
  if (skipped.empty()) return true;
  std::fprintf(stderr,
               "keldorctl: Keldor would skip line(s) %s of the schedule: an event is "
               "time,action,days,settings file,maplist file,enabled (at most %zu events). "
               "Nothing was sent.\n",
               skipped.c_str(), kMaxEvents);
  return false;
}

int RunPut(Connection& c, const Options& o) {
  const FileKind& kind = *FindFile(o.args[0]);
  std::string content;
  if (!ReadSource(o.args.size() > 1 ? o.args[1] : "-", &content)) return kExitFailed;
  if (kind.put == REQ_PUT_SCHEDULE && !ScheduleTaken(content)) return kExitFailed;
  if (const int status = Upload(c, kind.put, content); status != kExitOk) return status;
  if (kind.checkable) {
    std::string stored;
    if (const int status = Fetch(c, kind.get, &stored); status != kExitOk) return status;
    if (stored != content && !RightsAllow(c.Rights(), kind.put)) return NotCarriedOut(c, kind.put);
    if (stored != content) {
      std::fprintf(stderr,
                   "keldorctl: Keldor did not store the %s (the account may lack the "
                   "right; its log tells).\n",
                   kind.name);
      return kExitRefused;
    }
  }
  std::printf("Sent the %s (%zu bytes).\n", kind.name, content.size());
  return kExitOk;
}

bool CheckNoArgs(const Options& o) {
  if (o.args.empty()) return true;
  std::fprintf(stderr, "keldorctl: %s takes no arguments.\n", o.command.c_str());
  return false;
}

int RunPlayers(Connection& c, const Options& o) {
  std::string content;
  const int status = Fetch(c, REQ_GET_PLAYERS, &content);
  if (status != kExitOk) return status;
  if (o.json) {
    PrintJson(PlayersJson(content));
  } else {
    std::printf("%s\n", kPlayersHeader);
    std::fwrite(content.data(), 1, content.size(), stdout);
  }
  return status;
}

// The schedule as a table: a one-time event ("none") at its local date and
// time, a recurring one at its local time of day.
int RunSchedule(Connection& c, const Options& o) {
  std::string content;
  if (const int status = Fetch(c, REQ_GET_SCHEDULE, &content); status != kExitOk) return status;
  const nlohmann::ordered_json events = ScheduleJson(content);
  if (o.json) {
    PrintJson(events);
    return kExitOk;
  }
  constexpr std::size_t kDateLength = 11;  // "YYYY-MM-DD " before the time of day
  std::printf("%-19s  %-12s  %-9s  %-7s  %-20s  %s\n", "When", "Action", "Days", "Enabled",
              "Settings", "Maplist");
  for (const auto& event : events) {
    const std::string local =
        LocalTimeText(static_cast<std::time_t>(event["time"].get<long long>()));
    const bool once = strncasecmp(event["days"].get<std::string>().c_str(), "none", 4) == 0;
    std::printf("%-19s  %-12s  %-9s  %-7s  %-20s  %s\n",
                once || local.size() <= kDateLength ? local.c_str() : local.c_str() + kDateLength,
                Printable(event["action"].get<std::string>()).c_str(),
                Printable(event["days"].get<std::string>()).c_str(),
                event["enabled"].get<bool>() ? "yes" : "no", ShownOrDash(event["settings"]).c_str(),
                ShownOrDash(event["maplist"]).c_str());
  }
  return kExitOk;
}

// The client list as a table. Keldor writes "*" for an empty field, and the
// time of the last request as ctime text with its own line end; it is shown
// as local date and time.
int RunClients(Connection& c, const Options& o) {
  std::string content;
  if (const int status = Fetch(c, REQ_GET_CLIENTS, &content); status != kExitOk) return status;
  if (o.json) {
    nlohmann::ordered_json clients = nlohmann::ordered_json::array();
    std::string name;
    std::vector<std::string> f;
    for (const std::string& line : Lines(content)) {
      if (!SplitListLine(line, 4, &name, &f)) continue;
      std::time_t last = 0;
      const bool known = ParseCtime(f[3], &last);
      clients.push_back(
          {{"slot", NumberOrNull(f[0])},
           {"user", TextOrNull(name)},
           {"address", TextOrNull(f[1])},
           {"state", TextOrNull(f[2])},
           {"last_request", known ? nlohmann::ordered_json(last) : nullptr},
           {"last_request_iso", known ? nlohmann::ordered_json(IsoTime(last)) : nullptr}});
    }
    PrintJson(clients);
    return kExitOk;
  }
  std::printf("%-4s  %-20s  %-21s  %-9s  %s\n", "Slot", "User", "Address", "State", "Last request");
  constexpr std::size_t kClientFields = 4;  // slot, address, state, last request
  std::string name;
  std::vector<std::string> fields;
  for (const std::string& line : Lines(content)) {
    if (!SplitListLine(line, kClientFields, &name, &fields)) {
      std::printf("%s\n", Printable(line).c_str());  // shown as it came rather than lost
      continue;
    }
    std::time_t when = 0;
    const std::string last = ParseCtime(fields[3], &when) ? LocalTimeText(when) : "-";
    std::printf("%-4s  %-20s  %-21s  %-9s  %s\n", fields[0].c_str(),
                Printable(name == "*" ? "-" : name).c_str(), fields[1].c_str(), fields[2].c_str(),
                last.c_str());
  }
  return kExitOk;
}

// The fleet needs no connection: Main runs it before opening one.
int RunFleetCommand(Connection&, const Options& options) {
  return RunFleet(options);
}

const Command kCommands[] = {
    {"ping", "ping", "Checks that Keldor answers (prints \"pong\").",
     "Sends a keep-alive; Keldor answers NOTE_PONG.", CheckNoArgs, RunPing},
    {"status", "status", "Shows the game server's status, one field per line.",
     "Prints the 19 fields of the status text, one labelled field per line. Needs the right T.",
     CheckNoArgs, RunStatus},
    {"metrics", "metrics", "Prints Keldor's metrics in the Prometheus text format.",
     "The text that keldor -metrics writes to its file, as it stands at this moment: every "
     "metric with its HELP and TYPE lines (see METRICS.md). Any account may ask.",
     CheckNoArgs, RunMetrics},
    {"watch", "watch", "Prints each notification (time, name, text) as it comes, until Ctrl-C.",
     "Stays connected and prints every notification by name, with its text, one per line "
     "behind the local date and time it arrived, until interrupted or disconnected.",
     CheckNoArgs, RunWatch},
    {"join-info", "join-info", "Shows the game port and whether the server is on the Internet.",
     "Needs the right P; fails while the server is not running.", CheckNoArgs, RunJoinInfo},
    {"players", "players", "Lists the players in the game (playerlist.con).",
     "A CSV header line, then one line per player as Keldor sends it. With --json, numbers are "
     "numbers and unknown values null. Needs the right P.",
     CheckNoArgs, RunPlayers},
    {"clients", "clients", "Lists the connected clients as a table.",
     "A header, then one line per client: slot, user, address, state and the time of its last "
     "request (\"-\" before the first). get clients gives the list as Keldor sends it. Needs "
     "the right C.",
     CheckNoArgs, RunClients},
    {"kick", "kick <player-id> [reason]", "Kicks a player.",
     "Kicks the player with that id (see players), giving the reason. An id that Keldor does "
     "not list is refused before anything is sent (exit status 4). Needs the right P.",
     CheckKick, RunKick},
    {"ban", "ban <player-id> <name> <seconds> [reason]", "Bans a player (0 s: for ever).",
     "Adds a ban for <seconds> (0 bans permanently). Options --address A, --keyhash K and "
     "--guid G fill the other fields; with the right P the id must be one that Keldor lists, "
     "under that name (else exit status 4), and the fields not given come from the player "
     "list. Needs the right P or B. Id -1 bans a player who is not on the server by the "
     "identifiers given. Prints the player banned and the identifiers the ban carries.",
     CheckBan, RunBan},
    {"unban", "unban <name> [address [keyhash [guid]]]", "Removes a ban.",
     "By name alone, removes every ban on that name in Keldor's ban list, on the identifiers "
     "it holds; with identifiers, removes them as given. A name or identifiers that no ban "
     "holds give \"no ban on NAME\" (exit status 4). Needs the right B.",
     CheckUnban, RunUnban},
    {"bans", "bans", "Lists Keldor's bans as a table.",
     "One line per ban: name, address, keyhash, GUID, who banned, since and until when (local "
     "date and time; \"permanent\" for a ban without end). With --json, the times are epoch "
     "seconds with ISO 8601 (UTC) beside them, unknown fields null. Needs the right B.",
     CheckNoArgs, RunBans},
    {"schedule", "schedule", "Lists the scheduled starts and stops as a table.",
     "One line per event: when (local date and time for a one-time event, local time of day "
     "for a recurring one), action, days, enabled, settings file and map list. get schedule "
     "gives the file as Keldor stores it, for put. With --json, the time is epoch seconds with "
     "ISO 8601 (UTC) beside it. Needs the right H.",
     CheckNoArgs, RunSchedule},
    {"clear-bans", "clear-bans", "Clears the game's, PunkBuster's and Keldor's ban lists.",
     "Needs the right B.", CheckNoArgs, RunClearBans},
    {"verify-bans", "verify-bans", "Checks that Keldor's ban list matches the server's.",
     "Exit status 0 when they match, 4 when not. Administrators only.", CheckNoArgs, RunVerifyBans},
    {"sync-bans", "sync-bans to|from", "Copies Keldor's ban list to the server, or back.",
     "\"to\" makes the server's lists follow Keldor's, \"from\" the other way. Administrators "
     "only.",
     CheckSyncBans, RunSyncBans},
    {"say", "say <text>", "Sends a chat line to every player.",
     "At most 255 characters; long texts are sent in pieces. A text beginning with '*' is not "
     "logged.",
     CheckSomeText, RunSay},
    {"message", "message <text>", "Sends a server message to every player.",
     "At most 255 characters; long texts are sent in pieces.", CheckSomeText, RunMessage},
    {"console", "console <command>", "Runs a command on the game's console.",
     "Prints the game's reply. Several lines are several commands. Needs the right 0x10000.",
     CheckSomeText, RunConsole},
    {"screenshot", "screenshot <player>", "Asks PunkBuster for a player's screenshot.",
     "Needs the right P and PunkBuster enabled.", CheckScreenshot, RunScreenshot},
    {"map", "map change|next|set-next|idle|restart [combo]", "Changes maps.",
     "change <combo>: go to that map now; next: the next map of the rotation; set-next <combo>: "
     "the map after this one; idle [combo|none]: where an idle server goes (none, or no combo, "
     "turns it off); "
     "restart: the current map again. A combo is \"map mode mod\", the mode one of GPM_CQ, "
     "GPM_COOP, GPM_EVOL and GPM_CCOMBAT; a map, mod or mode that Keldor does not offer (see "
     "get mods, get maps) is refused before anything is sent (exit status 4). Needs the right M.",
     CheckMap, RunMap},
    {"start", "start", "Starts the game server.", "Needs the right 0x1000.", CheckNoArgs, RunStart},
    {"stop", "stop", "Stops the game server.", "Needs the right 0x1000.", CheckNoArgs, RunStop},
    {"pause", "pause", "Pauses the game, or resumes it.", "Needs the right 0x1000.", CheckNoArgs,
     RunPause},
    {"pb", "pb save|load", "Has PunkBuster save or load pbsv.cfg.",
     "Needs the right 0x20000 and PunkBuster enabled.", CheckPb, RunPb},
    {"passwd", "passwd [new-password]", "Changes this account's password.",
     "The new password comes from the argument, else $KELDOR_NEW_PASSWORD, else a prompt that "
     "asks twice and does not echo.",
     CheckPasswd, RunPasswd},
    {"disconnect", "disconnect <slot>", "Drops a connected client.",
     "The slot is the number that clients shows. Needs the right C.", CheckDisconnect,
     RunDisconnect},
    {"get", "get <file> [dest]", "Fetches one of Keldor's files (to stdout or dest).",
     "Files: settings, pbconfig, mods, maps, rotation, players, clients, playermenu, bans, "
     "users, schedule, announcements, bannedwords, log. Each needs the right of its page.",
     CheckGet, RunGet},
    {"put", "put <file> [source]", "Stores one of Keldor's files (from stdin or source).",
     "Files: settings, pbconfig, rotation, bans, users, schedule, announcements, bannedwords. "
     "Files that Keldor stores as sent are fetched back and compared.",
     CheckPut, RunPut},
    {"rights", "rights", "Explains the rights of accounts, marking this account's.",
     "What each right allows and the requests it covers. keldorctl help rights shows the same "
     "table without connecting.",
     CheckNoArgs, RunRights},
    {"user",
     "user list | add <name> <rights> [--generate] [--keyhash K] | remove <name> |\n"
     "       rights <name> <rights> | enable <name> | disable <name>",
     "Lists, adds, removes, enables and disables accounts, or changes their rights.",
     "list shows the accounts this account may see. add creates an enabled account; its "
     "password comes from $KELDOR_NEW_PASSWORD, else a prompt that asks twice and does not echo, "
     "or with --generate one is made up and printed; --keyhash names the player who owns it. "
     "Rights are letters of SGFIATMPBUHC (upper case grants, lower case is ignored, as list "
     "shows them), a mask such as 0x3F or 192, or admin for every right. Each change fetches "
     "the user list, changes it and sends it back, then checks that Keldor made it: an account "
     "may only grant rights it holds and only manage accounts within them, may not remove or "
     "disable itself, and the last enabled admin account stays. Needs the right U.",
     CheckUser, RunUser},
    {kFleetCommand, "fleet [servers|bans [search]|actions [search]] [--db conninfo] [--json]",
     "Shows the fleet's servers, bans in force or latest admin actions.",
     "Reads the fleet database (--db, else $KELDOR_FLEET: a libpq connection string or URI) "
     "instead of a Keldor, without a login, and gives up after 10 seconds (or --timeout when "
     "shorter): exit status 2. servers (the default) lists every server with its address, "
     "state (\"gone\" when it has not been seen for three of its passes), map, players, last "
     "crash and when it was last seen; bans lists the newest 1000 bans in force, actions the "
     "latest 50 admin actions, each only those holding the search text when one is given. With "
     "--json, servers prints one object with the servers, the bans and the actions (see "
     "keldorctl(1)); bans and actions print an array.",
     CheckFleet, RunFleetCommand},
    {"alert", "alert test", "Sends a test alert to every webhook target.",
     "Keldor queues a test alert (\"Test alert from ACCOUNT.\") for every target of its "
     "alerts.con, whatever kinds the target wants, and prints for how many. Exit status 4 when "
     "there is none. Whether a target took it, Keldor's log tells. Administrators only.",
     CheckAlert, RunAlert},
};

}  // namespace

void PrintCommandUsage(const Command& command) {
  std::fprintf(stderr, "Usage: keldorctl [options] %s\n(keldorctl help %s tells more.)\n",
               command.usage, command.name);
}

int Broken(const Connection& c) {
  std::fprintf(stderr, "keldorctl: %s\n", c.Error().c_str());
  return kExitBroken;
}

std::span<const Command> Commands() {
  return kCommands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace keldorctl
