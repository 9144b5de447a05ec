// Notifications to one client or to all, the status text, the PunkBuster
// version, the client list and the copy of the log's tail.
#include "remote/notify.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <limits>
#include <vector>

#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/net.h"
#include "core/owned.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "maps/rotation.h"
#include "process/server_process.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "wire/protocol.h"

namespace keldor {

namespace {

constexpr const char* kUnknownValue = "??";
constexpr const char* kUnknownVersion = "(version unknown)";

// A value of the last status reply, "??" when it has none.
std::string ReplyValue(const char* key) {
  const std::vector<char>& reply = StatusReplyBuffer();
  const char* value = StatusValue(reply.empty() ? nullptr : reply.data(), key);
  return value != nullptr ? CutToWidth(value, kStatusFieldMax) : kUnknownValue;
}

// A value of the status reply, or "??" while the console link is down.
std::string GameValue(bool linkUp, const char* key) {
  return linkUp ? ReplyValue(key) : kUnknownValue;
}

std::string PasswordField(const std::string& value) {
  if (value.starts_with('1')) return "Yes";
  if (value.starts_with('0')) return "No";
  return kUnknownValue;
}

std::string ContentCheckField(const std::string& value) {
  if (value.starts_with('0')) return "Disabled";
  if (value.starts_with('1')) return "Pure mode";
  if (value.starts_with('2')) return "Unpure mode";
  return kUnknownValue;
}

std::string ServerStateField() {
  std::string text = GameServer().monitoring ? "Started " : "Stopped ";
  // Asked on a copy: a status report does not change which server Keldor watches.
  int pid = GameServer().pid != 0 ? GameServer().pid : -1;
  if (FindServerProcess(&pid)) text += "(running)";
  return text;
}

std::string CrashTimeField() {
  const std::time_t crash = Watch().crashTime;
  char buffer[64] = "";
  // ctime's text, newline included; ctime_r keeps the shared ctime buffer out of it.
  if (ctime_r(&crash, buffer) == nullptr) return kUnknownValue;
  return buffer;
}

std::string PunkBusterField() {
  if (!Opts().punkBusterInstalled) return "Not installed";
  if (!PunkBusterEnabled()) return "Disabled (version unknown)";
  return "Enabled " + PunkBusterVersion() + ",";
}

// Writes the log's last 32768 bytes (or all of a shorter log) to `out`; logs its own failures.
bool CopyTailInto(int out) {
  const std::string logPath = LogFilePath();
  const FileHandle log(std::fopen(logPath.c_str(), "rb"));
  if (log == nullptr) {
    LogMessage(kLogInfo, "Couldn't open log file! %s", ErrorText(errno));
    return false;
  }
  struct stat info {};
  const long size = fstat(fileno(log.get()), &info) == 0 ? static_cast<long>(info.st_size) : -1;
  const long tail = static_cast<long>(kLogTailSize);
  const long start = size > tail ? size - tail : 0;
  const std::size_t amount = static_cast<std::size_t>(size > tail ? tail : (size < 0 ? 0 : size));
  if (size < 0 || std::fseek(log.get(), start, SEEK_SET) != 0) {
    LogMessage(kLogInfo, "Couldn't seek log file! %s", ErrorText(errno));
    return false;
  }
  std::vector<char> buffer(amount);
  const std::size_t got = std::fread(buffer.data(), 1, amount, log.get());
  const int readError = errno;
  if (got == 0) {
    LogMessage(kLogInfo, "Couldn't read log file! %s", ErrorText(readError));
    return false;
  }
  std::size_t written = 0;
  while (written < got) {
    const ssize_t n = write(out, buffer.data() + written, got - written);
    if (n <= 0) {
      LogMessage(kLogInfo, "Couldn't write temp file! %s", ErrorText(errno));
      return false;
    }
    written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool NotifyClient(Connection& client, std::uint32_t code, const void* data, std::size_t size) {
  if (!LoggedIn(client)) return false;
  if (size > std::numeric_limits<std::uint32_t>::max() || (size > 0 && data == nullptr)) {
    return Fail(EINVAL);
  }
  const NoteHeader header = EncodeNoteHeader(code, static_cast<std::uint32_t>(size));
  // Queued whole, so that a client that reads slowly never gets half of one.
  if (SendToClient(client, header.data(), header.size(), data, size)) return true;
  const int error = ErrorCode();
  LogMessage(kLogInfo, "Couldn't notify client at %s! %s", client.address.c_str(),
             ErrorText(error));
  ErrorCode() = error;
  return false;
}

bool NotifyClient(int slot, std::uint32_t code, const void* data, std::size_t size) {
  if (slot == 0) return true;
  if (!SlotInUse(slot)) return false;
  return NotifyClient(Connections()[slot], code, data, size);
}

bool NotifyAllClients(std::uint32_t code, const void* data, std::size_t size, int except) {
  for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
    if (slot != except) NotifyClient(Connections()[slot], code, data, size);
  }
  return true;
}

bool NotifyClientText(int slot, std::uint32_t code, const std::string& text) {
  return NotifyClient(slot, code, text.c_str(), text.size() + 1);
}

bool NotifyAllClientsText(std::uint32_t code, const std::string& text, int except) {
  return NotifyAllClients(code, text.c_str(), text.size() + 1, except);
}

bool GetServerStatusString(std::string* text) {
  text->clear();
  const bool linkUp = Console().connected;
  if (linkUp && QueryStatus(StatusPort(), "\\status\\") == nullptr) {
    LogDebug("DEBUG: GetServerStatusString: Couldn't get server status! %s",
             ErrorText(ErrorCode()));
    return false;
  }
  const std::string maxPlayers = ReplyValue("maxplayers");
  const std::string roundTime = GameValue(linkUp, "roundTimeRemain");
  const std::string fields[] = {
      "\"" + Row(Setting::ServerName).text + "\"",
      std::string(FormatIPv4(static_cast<std::uint32_t>(Row(Setting::ServerIP).current))) + ":" +
          std::to_string(Row(Setting::ServerPort).current),
      (linkUp ? GameValue(linkUp, "numplayers") : std::string("--")) + " of " + maxPlayers,
      CutToWidth(CurrentMapCombo(), kStatusFieldMax),
      CutToWidth(CurrentLevelCombo().value_or(kUnknownValue), kStatusFieldMax),
      CutToWidth(IdleMapCombo(), kStatusFieldMax),
      ServerStateField(),
      CrashTimeField(),
      linkUp ? "Connected" : "Disconnected",
      GameValue(linkUp, "gamemode"),
      GameValue(linkUp, "gamever"),
      linkUp ? PasswordField(ReplyValue("password")) : kUnknownValue,
      GameValue(linkUp, "tk_mode"),
      linkUp ? ContentCheckField(ReplyValue("content_check")) : kUnknownValue,
      CutToWidth(TeamScoresText(), kStatusFieldMax),
      CutToWidth(TeamSizesText(), kStatusFieldMax),
      roundTime == "-1" ? "Unlimited" : roundTime,
      linkUp ? GameValue(linkUp, "tickets1") + " / " + GameValue(linkUp, "tickets2")
             : kUnknownValue,
      PunkBusterField(),
  };
  for (const std::string& field : fields) *text += field + ",";
  return true;
}

std::string PunkBusterVersion() {
  if (!Console().connected) return kUnknownVersion;
  SendConsoleMessage("pb_sv_ver");
  const char* output = ReadConsoleOutput();
  if (output == nullptr) return kUnknownVersion;
  const std::string text = output;
  const std::size_t open = text.find('(');
  if (open == std::string::npos) return kUnknownVersion;
  const std::size_t close = text.find(')', open);
  if (close == std::string::npos) return kUnknownVersion;
  return CutToWidth(text.substr(open, close - open + 1), kPunkBusterVersionMax);
}

bool WriteClientList(const std::string& path) {
  const auto orStar = [](const std::string& text) { return text.empty() ? "*" : text.c_str(); };
  const bool written = ReplaceFile(path, [&orStar](std::FILE* f) {
    for (int slot = kFirstClientSlot; slot <= kLastClientSlot; ++slot) {
      const Connection& c = Connections()[slot];
      if (!LoggedIn(c)) continue;
      std::fprintf(f, "\"%s\",%i,%s,%s,%s\n", orStar(c.userName), slot, orStar(c.address),
                   "Connected", orStar(LastRequestText(c)));
    }
    return std::ferror(f) == 0;
  });
  if (!written) {
    LogMessage(kLogInfo, "Couldn't write client list file! %s", ErrorText(ErrorCode()));
    return false;
  }
  return true;
}

bool CopyLogTail(std::string* tempPath) {
  tempPath->clear();
  // A private new file (mode 0600, O_EXCL): a fixed name in /tmp could be a
  // link planted by another user.
  char name[] = "/tmp/keldor-log-XXXXXX";
  OwnedFd out(mkstemp(name));
  if (out.get() < 0) {
    LogMessage(kLogInfo, "Couldn't open temp file! %s", ErrorText(errno));
    return false;
  }
  const bool copied = CopyTailInto(out.get());
  const bool closed = out.Close();
  if (!closed && copied) LogMessage(kLogInfo, "Couldn't write temp file! %s", ErrorText(errno));
  if (!copied || !closed) {
    unlink(name);
    return false;
  }
  *tempPath = name;
  return true;
}

}  // namespace keldor
