// The session's thread: the login, then Keldor's notifications and the
// page's commands as they come. Every command is checked here before a byte
// of it goes to Keldor; what Keldor refuses is reported as refused.
#include "keldor_link.h"

#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include "exchange.h"
#include "lists.h"
#include "rights_help.h"
#include "security.h"
#include "wire/protocol.h"
#include "wire/rights.h"

namespace keldorweb {

using keldorclient::Message;
using keldorclient::Outcome;
using nlohmann::json;
using namespace keldor;

namespace {

constexpr std::size_t kTextMax = 255;  // a text payload holds 256 bytes with its NUL
// Keldor's answer both when it has no accounts and, followed by the minutes
// left, when it has locked out this host's address.
constexpr int kLoginLockedOut = 5;

std::string LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char stamp[16] = "";
  if (localtime_r(&now, &local) != nullptr) std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  return stamp;
}

json NoteJson(const Message& note) {
  const char* name = NoteName(note.code);
  return {{"type", "note"},
          {"time", LocalTime()},
          {"code", note.code},
          {"name", name != nullptr ? json(name) : json()},
          {"text", note.data}};
}

// A refusal the page can show before anything reaches Keldor.
struct BadRequest {
  std::string message;
};
// A request the account lacks the right for; the reason is the connection's error.
struct Refusal {};

std::string Text(const json& command, const char* key, std::size_t max, bool required = true) {
  const auto found = command.find(key);
  if (found == command.end() || !found->is_string()) {
    if (!required) return {};
    throw BadRequest{std::string("The request lacks its ") + key + "."};
  }
  std::string text = found->get<std::string>();
  if (required && text.empty()) throw BadRequest{std::string("The ") + key + " is empty."};
  if (text.size() > max) {
    throw BadRequest{std::string("The ") + key + " is too long (at most " + std::to_string(max) +
                     " characters)."};
  }
  return text;
}

long Number(const json& command, const char* key, long low, long high) {
  const auto found = command.find(key);
  if (found == command.end() || !found->is_number_integer()) {
    throw BadRequest{std::string("The ") + key + " must be a whole number."};
  }
  const long value = found->get<long>();
  if (value < low || value > high) {
    throw BadRequest{std::string("The ") + key + " is out of range."};
  }
  return value;
}

void Fits(const std::string& payload) {
  if (payload.size() > kTextMax) {
    throw BadRequest{"The text is too long: at most 255 characters travel to Keldor."};
  }
}

// A map combo: three words, map, game mode and mod (Keldor checks them against
// the installed maps). With `mayBeOff` the empty combo, which turns the idle
// map off, is allowed too (and returned for "none").
std::string Combo(const json& command, bool mayBeOff) {
  const std::string combo = Text(command, "combo", kTextMax, !mayBeOff);
  std::size_t words = 0;
  bool inWord = false;
  for (const char c : combo) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      throw BadRequest{"The map combo holds a control character."};
    }
    const bool blank = c == ' ';
    if (!blank && !inWord) ++words;
    inWord = !blank;
  }
  // "none" is Keldor's own word for no idle map.
  if (mayBeOff && strcasecmp(combo.c_str(), "none") == 0) return "";
  if (words != 3 && !(mayBeOff && words == 0)) {
    throw BadRequest{"A map combo is three words: map, game mode and mod."};
  }
  return combo;
}

struct FileKind {
  const char* name;
  std::uint32_t get, put;
};
constexpr FileKind kFiles[] = {
    {"rotation", REQ_GET_ROTATION, REQ_PUT_ROTATION},
    {"schedule", REQ_GET_SCHEDULE, REQ_PUT_SCHEDULE},
    {"announcements", REQ_GET_ANNOUNCEMENTS, REQ_PUT_ANNOUNCEMENTS},
    {"bannedwords", REQ_GET_BANNED_WORDS, REQ_PUT_BANNED_WORDS},
    // Read only: the page checks a map change against them before sending it.
    {"mods", REQ_GET_MODS, 0},
    {"maps", REQ_GET_MAPS, 0},
    // Read only: who is connected to Keldor, and when each last asked for something.
    {"clients", REQ_GET_CLIENTS, 0},
};

const FileKind& FindFile(const json& command) {
  const std::string name = Text(command, "file", 32);
  for (const FileKind& kind : kFiles) {
    if (name == kind.name) return kind;
  }
  throw BadRequest{"No such file."};
}

// The requests without a text; each is answered by one of two notifications.
// Each job with the two answers that end it, and what the page tells for each.
struct JobKind {
  const char* op;
  std::uint32_t request;
  std::uint32_t done, alsoDone;
  const char* doneText;
  const char* alsoDoneText;
};

constexpr JobKind kPlainJobs[] = {
    {"start", REQ_START_SERVER, NOTE_SERVER_STARTED, NOTE_ALREADY_RUNNING,
     "The game server started.", "The game server was already running."},
    {"stop", REQ_STOP_SERVER, NOTE_SERVER_STOPPED, NOTE_ALREADY_STOPPED, "The game server stopped.",
     "The game server was already stopped."},
    {"pause", REQ_TOGGLE_PAUSE, NOTE_GAME_PAUSED, NOTE_GAME_RESUMED, "The game was paused.",
     "The game was resumed."},
    {"next-map", REQ_RUN_NEXT_MAP, NOTE_NEXT_MAP_RUN, NOTE_NEXT_MAP_RUN,
     "The next map of the rotation is starting.", "The next map of the rotation is starting."},
    {"restart-map", REQ_RESTART_MAP, NOTE_MAP_RESTARTED, NOTE_MAP_RESTARTED,
     "The map was restarted.", "The map was restarted."},
};

}  // namespace

std::string Dump(const json& message) {
  return message.dump(-1, ' ', false, json::error_handler_t::replace);
}

namespace {

std::string Dropped(const std::string& message) {
  return Dump({{"type", "dropped"}, {"message", message}});
}

// What a refused login tells the page. "guess" marks the refusals Keldor
// counts against an address (a wrong name or password, a disabled account)
// and its lock-out, so that the web console counts them too.
void DescribeRefusal(const keldorclient::Connection& connection, int result, json* answer) {
  // The client library reads the minutes a lock-out has left and words it itself.
  const bool locked = result == kLoginLockedOut && connection.Error().starts_with(kLockoutPrefix);
  if (result == 1 || result == 2) {
    (*answer)["message"] = "Wrong user name or password.";
  } else {
    (*answer)["message"] = locked ? connection.Error() : keldorclient::LoginRefusalText(result);
  }
  (*answer)["locked"] = locked;
  (*answer)["guess"] = result == 1 || result == 2 || result == 3 || locked;
}

}  // namespace

KeldorLink::KeldorLink(std::string host, int port, int timeoutSeconds, Deliver deliver)
    : host_(std::move(host)), port_(port), deliver_(std::move(deliver)) {
  connection_.SetTimeout(timeoutSeconds);
  wakeFd_ = keldor::OwnedFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

KeldorLink::~KeldorLink() {
  stop_ = true;
  connection_.Shutdown();
  Wake();
  if (thread_.joinable()) thread_.join();
}

std::string KeldorLink::Endpoint() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

void KeldorLink::Wake() {
  const std::uint64_t one = 1;
  if (write(wakeFd_.get(), &one, sizeof one) < 0) {
    // The counter is only full when the thread is already awake.
  }
}

void KeldorLink::LogIn(std::string user, std::string password) {
  user_ = std::move(user);
  password_ = std::move(password);
  thread_ = std::thread([this] { Run(); });
}

bool KeldorLink::Submit(json command) {
  {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(command));
  }
  Wake();
  return true;
}

bool KeldorLink::DoLogin() {
  json answer = {{"type", "login"}, {"ok", false}};
  keldorclient::LoginOutcome outcome;
  const bool opened = connection_.Open(host_, port_);
  // What an address tried before the one that answered is no reason for a refusal.
  if (opened) connection_.SetError("");
  const bool exchanged = opened && connection_.Login(user_, password_, &outcome);
  // The password is not kept beyond the handshake.
  std::fill(password_.begin(), password_.end(), '\0');
  password_.clear();
  if (opened && outcome.answered && outcome.result != 0) {
    DescribeRefusal(connection_, outcome.result, &answer);
  } else if (!opened || !exchanged) {
    answer["message"] = "Keldor cannot be reached: " + connection_.Error();
  } else if (!outcome.versionMatches) {
    answer["message"] = "Keldor speaks another version of the protocol.";
  } else {
    answer["ok"] = true;
    answer["user"] = user_;
    answer["rights"] = outcome.rights;
    answer["serverRunning"] = outcome.serverRunning;
  }
  const bool ok = answer["ok"].get<bool>();
  deliver_("login", Dump(answer));
  return ok;
}

void KeldorLink::Run() {
  if (!DoLogin()) return;
  while (!stop_) {
    pollfd waits[2] = {{wakeFd_.get(), POLLIN, 0}, {connection_.Socket(), POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) break;
    if (stop_) return;
    if ((waits[0].revents & POLLIN) != 0) {
      std::uint64_t count = 0;
      if (read(wakeFd_.get(), &count, sizeof count) < 0) count = 0;
    }
    for (;;) {
      json command;
      {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) break;
        command = std::move(queue_.front());
        queue_.pop_front();
      }
      if (!Execute(command)) return;
    }
    if ((waits[1].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    Message note;
    if (!connection_.Receive(&note, connection_.Timeout()) || note.code == NOTE_DISCONNECT) {
      if (stop_) return;
      deliver_("dropped",
               Dropped(note.code == NOTE_DISCONNECT
                           ? "Keldor closed the connection: it is going away."
                           : "The connection to Keldor was lost: " + connection_.Error()));
      return;
    }
    deliver_("note", Dump(NoteJson(note)));
  }
}

bool KeldorLink::Execute(const json& command) {
  const auto id = command.find("id");
  json reply = {{"type", "reply"},
                {"id", id != command.end() && id->is_number_integer() ? *id : json(0)}};
  const keldorclient::NoteSink sink = [this](const Message& note) {
    deliver_("note", Dump(NoteJson(note)));
  };
  Outcome outcome = Outcome::kOk;
  std::string done;     // what the page shows when it went well
  bool status = false;  // a status reply also feeds keldor-web's history
  try {
    auto& c = connection_;
    const std::string op = Text(command, "op", 32);
    // What Keldor would refuse for want of a right is refused here, unsent.
    const std::uint32_t needed =
        RequestOfCommand(op, op == "get" || op == "put" ? Text(command, "file", 32, false) : "");
    if (needed != 0 && !RightsAllow(c.Rights(), needed)) {
      c.SetError("Not sent to Keldor: it needs " + NeededText(needed) +
                 ", which this account lacks.");
      throw Refusal{};
    }
    Message answer;
    auto job = [&](std::uint32_t request, const std::string* text,
                   std::initializer_list<std::uint32_t> notes) {
      outcome = keldorclient::RunJobRequest(c, request, text, notes, &answer, sink);
      // What the job did is news for this page's feed as for every other
      // client's; a chat line's confirmation carries no text, so the line is shown.
      if (outcome != Outcome::kOk) return;
      Message shown = answer;
      if (shown.data.empty() && text != nullptr) shown.data = *text;
      sink(shown);
    };
    auto plain = std::find_if(std::begin(kPlainJobs), std::end(kPlainJobs),
                              [&](const JobKind& kind) { return op == kind.op; });
    if (plain != std::end(kPlainJobs)) {
      job(plain->request, nullptr, {plain->done, plain->alsoDone});
      done = answer.code == plain->done ? plain->doneText : plain->alsoDoneText;
    } else if (op == "status") {
      status = true;
      outcome = keldorclient::AwaitText(c, REQ_GET_STATUS, &answer, sink);
      if (outcome == Outcome::kOk && answer.emptyReply) {
        c.SetError("Keldor could not get the server's status.");
        outcome = Outcome::kFailed;
      }
      json fields = json::array();
      const std::vector<std::string> split = keldorclient::SplitStatus(answer.data);
      for (std::size_t k = 0; k < split.size() && k < keldorclient::kStatusFields; ++k) {
        fields.push_back({{"key", keldorclient::kStatusKeys[k]},
                          {"label", keldorclient::kStatusLabels[k]},
                          {"value", split[k]}});
      }
      reply["data"] = fields;
    } else if (op == "players" || op == "bans") {
      std::string content;
      outcome =
          keldorclient::Fetch(c, op == "players" ? REQ_GET_PLAYERS : REQ_GET_BANS, &content, sink);
      reply["data"] =
          op == "players" ? keldorclient::PlayersJson(content) : keldorclient::BansJson(content);
    } else if (op == "kick") {
      const std::string text = std::to_string(Number(command, "player", 0, 0x7FFFFFFF)) + "," +
                               Text(command, "reason", kTextMax, false);
      Fits(text);
      job(REQ_KICK_PLAYER, &text, {NOTE_PLAYER_KICKED});
      done = "Kicked " + answer.data + ".";
    } else if (op == "ban") {
      keldorclient::BanFields ban;
      ban.id = std::to_string(Number(command, "player", -1, 0x7FFFFFFF));
      ban.name = Text(command, "name", kTextMax);
      ban.duration = std::to_string(Number(command, "seconds", 0, 0x7FFFFFFF));
      ban.reason = Text(command, "reason", kTextMax, false);
      for (auto [key, field] : {std::pair{"address", &ban.address},
                                std::pair{"keyhash", &ban.keyhash}, std::pair{"guid", &ban.guid}}) {
        const std::string value = Text(command, key, 64, false);
        if (!value.empty()) *field = value;
      }
      const std::string text = keldorclient::BanText(ban);
      if (std::count(text.begin(), text.end(), keldorclient::kBanFieldEnd) != 7) {
        throw BadRequest{"A ban field holds the byte 0xFF."};
      }
      Fits(text);
      job(REQ_BAN_PLAYER, &text, {NOTE_PLAYER_BANNED});
      done = "Banned " + answer.data + ".";
    } else if (op == "unban") {
      // name,address,keyhash,guid; an absent field stays empty.
      std::string text = Text(command, "name", 64, false);
      for (const char* key : {"address", "keyhash", "guid"})
        text += "," + Text(command, key, 64, false);
      if (std::count(text.begin(), text.end(), ',') != 3) {
        throw BadRequest{"An unban field may not hold a comma."};
      }
      Fits(text);
      job(REQ_REMOVE_BAN, &text, {NOTE_BAN_REMOVED});
      done = "Removed the ban on " + answer.data + ".";
    } else if (op == "say" || op == "message") {
      const std::string text = Text(command, "text", kTextMax);
      if (op == "say") {
        job(REQ_SAY_ALL, &text, {NOTE_CHAT_SENT});
      } else {
        job(REQ_SERVER_MESSAGE, &text, {NOTE_SERVER_MESSAGE_SENT});
      }
      done = "Sent.";
    } else if (op == "change-map") {
      const std::string combo = Combo(command, false);
      job(REQ_CHANGE_MAP, &combo, {NOTE_MAP_CHANGED});
      done = "The map is changing to " + answer.data + ".";
    } else if (op == "set-next-map") {
      const std::string combo = Combo(command, false);
      job(REQ_SET_NEXT_MAP, &combo, {NOTE_NEXT_MAP_SET});
      done = "The next map will be " + answer.data + ".";
    } else if (op == "idle-map") {
      const std::string combo = Combo(command, true);
      job(REQ_SET_IDLE_MAP, &combo, {NOTE_IDLE_MAP_SET});
      done = combo.empty() ? "The idle map is off." : "The idle map is " + answer.data + ".";
    } else if (op == "get") {
      std::string content;
      outcome = keldorclient::Fetch(c, FindFile(command).get, &content, sink);
      reply["data"] = content;
    } else if (op == "put") {
      const FileKind& kind = FindFile(command);
      if (kind.put == 0) throw BadRequest{"That file cannot be stored."};
      const std::string content = Text(command, "content", kMaxFileText, false);
      outcome = keldorclient::Upload(c, kind.put, content, sink);
      // Keldor says nothing about an upload it refused: the file fetched back tells.
      std::string stored;
      if (outcome == Outcome::kOk) outcome = keldorclient::Fetch(c, kind.get, &stored, sink);
      if (outcome == Outcome::kOk && stored != content) {
        c.SetError(keldorclient::RefusalText(c.Rights(), kind.put));
        outcome = Outcome::kRefused;
      }
      done = "Saved.";
    } else {
      throw BadRequest{"No such command."};
    }
  } catch (const Refusal&) {
    outcome = Outcome::kRefused;
  } catch (const BadRequest& bad) {
    reply["ok"] = false;
    reply["refused"] = false;
    reply["message"] = bad.message;
    deliver_("reply", Dump(reply));
    return true;
  } catch (const json::exception&) {
    reply["ok"] = false;
    reply["message"] = "The request is malformed.";
    deliver_("reply", Dump(reply));
    return true;
  }
  reply["ok"] = outcome == Outcome::kOk;
  reply["refused"] = outcome == Outcome::kRefused;
  reply["message"] = outcome == Outcome::kOk ? done : connection_.Error();
  if (outcome != Outcome::kOk) reply.erase("data");
  deliver_(status && outcome == Outcome::kOk ? "status" : "reply", Dump(reply));
  if (outcome != Outcome::kBroken) return true;
  if (!stop_) {
    deliver_("dropped", Dropped("The connection to Keldor was lost: " + connection_.Error()));
  }
  return false;
}

}  // namespace keldorweb
