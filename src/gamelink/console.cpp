// The game console link: connection and login, command and output requests,
// and the collection of their replies (event lines, "##" lines, continuations).
//
// Wire format (every integer 32-bit little-endian): after the TCP connect the
// console sends a 10-byte login key; we send the user name and the password,
// each as a length (characters + 1), the characters XOR the key and a zero
// byte; the console answers one verdict byte. After that every request and
// every reply is a string list: a count, then per string a length (with its
// terminating zero) and the bytes.
#include "gamelink/console.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/net.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "gamelink/link_hooks.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

void CloseAndForget(ConsoleLink& link);
StateTable<ConsoleLink> g_table(CloseAndForget);
ConsoleLink& g_link = *g_table;

constexpr long kConnectWaitMicroseconds = 500;
constexpr std::size_t kStringOverhead = 5;  // the length word and the terminating zero
constexpr std::size_t kCarriageReturnSize = 4 + 2;
constexpr std::size_t kDrainLimit = 1024 * 1024;  // a console that never stops talking at exit
constexpr const char* kEventMarker = "##--";
constexpr std::size_t kEventPrefix = 5;  // the marker and the character after it
constexpr const char* kMessageLogFile = "message.log";

enum class ReplyKind { kCommand, kOutput };

// The link's number is taken over to be closed: never keep a closed number,
// as the next descriptor opened may reuse it.
void CloseSocket() {
  OwnedFd(std::exchange(g_link.socket, -1)).Reset();
  g_link.connected = false;
}

void CloseAndForget(ConsoleLink& link) {
  OwnedFd(std::exchange(link.socket, -1)).Reset();
  link = ConsoleLink{};
}

// Resizes a buffer without letting an allocation failure escape as an exception.
bool Resize(std::vector<char>& buffer, std::size_t capacity) {
  try {
    buffer.resize(capacity);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

bool EnsureAllocated(std::vector<char>& buffer) {
  return !buffer.empty() || Resize(buffer, kConsoleBufferStep);
}

// -message: the raw bytes of each request and the text of each response.
void AppendMessageLog(const char* marker, const void* data, std::size_t size) {
  if (!Opts().messageLog) return;
  const FileHandle file(std::fopen(kMessageLogFile, "ab"));
  if (!file) return;
  std::fputs(marker, file.get());
  if (size > 0) std::fwrite(data, 1, size, file.get());
}

// Every receive from the game goes through here, so that the time of the last
// one is known.
bool Receive(void* buffer, std::size_t length) {
  if (!ReceiveExact(g_link.socket, buffer, length)) return false;
  if (length > 0) g_link.lastReceivedAt = MonotonicMilliseconds();
  return true;
}

bool PutString(ByteWriter& writer, const char* text, std::size_t length) {
  writer.PutU32(static_cast<std::uint32_t>(length + 1));
  writer.PutBytes(text, length);
  return writer.PutU8(0);
}

// The login key masks character i with key byte i mod 10.
bool PutMaskedString(ByteWriter& writer, const std::string& text,
                     const std::uint8_t (&key)[kConsoleLoginKeySize]) {
  writer.PutU32(static_cast<std::uint32_t>(text.size() + 1));
  for (std::size_t i = 0; i < text.size(); ++i) {
    writer.PutU8(static_cast<std::uint8_t>(text[i]) ^ key[i % kConsoleLoginKeySize]);
  }
  return writer.PutU8(0);
}

// Steps 3 and 4 of a connection: a non-blocking connect and a very short wait
// for it to complete. The socket on success, -1 with ErrorCode otherwise.
int OpenConnection(std::uint32_t address, std::uint16_t port) {
  OwnedFd owned(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const int fd = owned.get();
  if (fd < 0) return Fail(errno), -1;
  auto fail = [](int code) {  // the socket goes with `owned`
    Fail(code);
    return -1;
  };
  // select() below and in ReceiveExact cannot watch a descriptor beyond its set.
  if (fd >= FD_SETSIZE) return fail(EMFILE);
  int on = 1;
  if (ioctl(fd, FIONBIO, &on) != 0) return fail(errno);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return fail(errno);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_addr.s_addr = htonl(address);
  remote.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) != 0 &&
      errno != EINPROGRESS && errno != EAGAIN && errno != EINTR) {
    return fail(errno);
  }
  timeval wait{0, kConnectWaitMicroseconds};
  int ready;
  // Linux leaves the time not yet waited in `wait`, so a signal does not extend the wait.
  do {
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(fd, &writable);
    ready = select(fd + 1, nullptr, &writable, nullptr, &wait);
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) return fail(ETIMEDOUT);
  if (ready < 0) return fail(errno);
  // Writable also means "the connect failed"; take its reason now rather than
  // from the first receive.
  int pending = 0;
  socklen_t size = sizeof pending;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) != 0) return fail(errno);
  if (pending != 0) return fail(pending);
  return owned.Release();
}

// Step 5 and 6: the login key, the masked credentials and the verdict.
bool LogIn() {
  const int fd = g_link.socket;
  std::uint8_t key[kConsoleLoginKeySize];
  if (!Receive(key, sizeof key)) return false;
  std::uint8_t credentials[2 * (kStringOverhead + kNameMax)];
  ByteWriter writer(credentials, sizeof credentials);
  PutMaskedString(writer, g_link.user, key);
  if (!PutMaskedString(writer, g_link.password, key)) return Fail(EINVAL);
  if (!SendAll(fd, credentials, writer.Used())) return Fail(errno);
  std::uint8_t verdict = 0;
  if (!Receive(&verdict, 1)) return false;
  if (verdict == 0) return Fail(kErrConsoleLogin);
  return true;
}

// Builds the command request in requestBuffer: the request name, one string per
// line of the text and the final "\r". False (logged) when the buffer cannot grow.
bool EncodeCommandRequest(const char* text, std::size_t& size) {
  std::vector<char>& buffer = g_link.requestBuffer;
  ByteWriter writer(buffer.data(), buffer.size());
  char name[32];
  const int nameLength = std::snprintf(name, sizeof name, "ConsoleMessage %i", g_link.channel);
  writer.PutU32(0);  // the count, patched once the lines are known
  PutString(writer, name, static_cast<std::size_t>(nameLength));
  std::uint32_t count = 1;
  for (const char* line = text; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    const std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - line) : std::strlen(line);
    // Room for this line and, whatever follows, the final "\r" string.
    const std::size_t need = writer.Used() + length + kStringOverhead + kCarriageReturnSize;
    if (need > buffer.size()) {
      if (!Resize(buffer, std::max(buffer.size() + kConsoleBufferStep, need))) {
        Fail(ENOMEM);
        LogMessage(kLogInfo, "Couldn't send message to server! %s", ErrorText(ENOMEM));
        return false;
      }
      writer.Retarget(buffer.data(), buffer.size());
    }
    PutString(writer, line, length);
    ++count;
    if (end == nullptr) break;
    line = end + 1;
  }
  PutString(writer, "\r", 1);
  ++count;
  writer.PatchU32(0, count);
  size = writer.Used();
  return writer.Ok() || Fail(EINVAL);
}

void HandleEventLine(const char* line, std::size_t length) {
  const char* text = length >= kEventPrefix ? line + kEventPrefix : "";
  LogMessage(kLogInfo, "# %s\r\n", text);
  ForwardConsoleEvent(text);
}

// Collects one reply into `buffer`, each kept string followed by "\n", the
// whole ended by a zero byte. Every string is received in place at the end of
// the collected text and then kept, joined or given back.
class ReplyCollector {
 public:
  ReplyCollector(std::vector<char>& buffer, ReplyKind kind) : buffer_(buffer), kind_(kind) {}

  bool Run() {
    std::uint8_t word[4];
    if (!Receive(word, sizeof word)) return DropConsoleLink();
    const std::uint32_t count = LoadU32(word);
    if (count > kConsoleMaxStrings) {
      LogMessage(kLogInfo, "Couldn't read console reply! It announces %u strings, more than %u.",
                 count, kConsoleMaxStrings);
      errno = EPROTO;
      return DropConsoleLink();
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!Receive(word, sizeof word)) return DropConsoleLink();
      const std::uint32_t length = LoadU32(word);
      // The room grows with what arrives: a length the server does not go on
      // to send costs no more than what it did send.
      std::uint32_t got = 0;
      do {
        const std::uint32_t piece = std::min(length - got, kReceivePiece);
        if (!MakeRoom(length, got + piece)) return false;
        if (!Receive(buffer_.data() + used_ + got, piece)) {
          return DropConsoleLink();
        }
        got += piece;
      } while (got < length);
      char* text = buffer_.data() + used_;
      text[length] = '\0';  // a string that lacks its own zero byte ends here
      Take(text, std::strlen(text));
    }
    buffer_[used_] = '\0';
    return true;
  }

 private:
  static constexpr std::uint32_t kReceivePiece = 64 * 1024;

  // Room for `part` bytes of a string of `length` bytes, the "\n" that may
  // replace its zero and the final zero; the whole length is held to the limit.
  bool MakeRoom(std::uint32_t length, std::uint32_t part) {
    if (used_ + 2 > kConsoleBufferLimit || length > kConsoleBufferLimit - 2 - used_) {
      LogMessage(kLogInfo,
                 "Couldn't read console reply! A string of %u bytes exceeds the limit of %zu "
                 "bytes.",
                 length, kConsoleBufferLimit);
      errno = EMSGSIZE;
      return DropConsoleLink();
    }
    const std::size_t need = used_ + part + 2;
    if (need <= buffer_.size()) return true;
    if (Resize(buffer_, std::min(need + kConsoleBufferStep, kConsoleBufferLimit))) return true;
    if (kind_ == ReplyKind::kCommand) {
      LogMessage(kLogInfo, "Couldn't send message to server! %s", ErrorText(ENOMEM));
    } else {
      LogMessage(kLogInfo, "Couldn't send character to console! %s", ErrorText(ENOMEM));
    }
    // The rest of the reply is still on the wire and would be taken as the next
    // reply: the link cannot be kept.
    errno = ENOMEM;
    return DropConsoleLink();
  }

  void Take(char* text, std::size_t length) {
    if (std::strncmp(text, kEventMarker, std::strlen(kEventMarker)) == 0) {
      HandleEventLine(text, length);
      return;
    }
    if (kind_ == ReplyKind::kCommand) {
      if (std::strncmp(text, "##", 2) != 0) Keep(length);
      return;
    }
    TakeOutput(text, length);
  }

  // Output replies: the first string is the echo of the request, empty and ">"
  // strings are prompts; a string following a "#" line without a "#" of its own
  // continues that line (any number of continuations join the same line).
  void TakeOutput(char* text, std::size_t length) {
    if (!sawFirst_ || length == 0 || text[0] == '>') {
      sawFirst_ = true;
      afterHashLine_ = false;
      return;
    }
    if (text[0] != '#' && afterHashLine_) {
      std::memmove(buffer_.data() + used_ - 1, text + 1, length - 1);
      used_ += length - 2;
      buffer_[used_++] = '\n';
      return;
    }
    afterHashLine_ = text[0] == '#';
    Keep(length);
  }

  void Keep(std::size_t length) {
    used_ += length;
    buffer_[used_++] = '\n';
  }

  std::vector<char>& buffer_;
  ReplyKind kind_;
  std::size_t used_ = 0;
  bool sawFirst_ = false;
  bool afterHashLine_ = false;
};

}  // namespace

ConsoleLink& Console() {
  return g_link;
}

void ResetConsoleLink() {
  g_table.Reset();
}

bool ConnectConsole() {
  if (!GameServer().monitoring) return Fail(0);
  if (g_link.connected) return true;  // the login is never repeated on a live link
  const auto address = static_cast<std::uint32_t>(Row(Setting::ServerIP).current);
  if (address == 0) {
    LogMessage(kLogInfo, "Couldn't connect to console, IP address is zero!");
    return Fail(0);
  }
  const std::int32_t port = Row(Setting::ConsolePort).current;
  if (port == 0) {
    LogMessage(kLogInfo, "Couldn't connect to console, port address is zero!");
    return Fail(0);
  }
  // The port is read from servermanager.con without a range check; never wrap it.
  if (port < 0 || port > 65535) {
    LogMessage(kLogInfo, "Couldn't connect to console, port address %i is invalid!", port);
    return Fail(0);
  }

  CloseSocket();
  g_link.user = CutToWidth(GameServer().consoleUser, kNameMax);
  g_link.password = CutToWidth(GameServer().consolePass, kNameMax);
  g_link.socket = OpenConnection(address, static_cast<std::uint16_t>(port));
  if (g_link.socket < 0) return false;
  if (!LogIn()) {
    const int code = ErrorCode();
    CloseSocket();
    return Fail(code);
  }
  g_link.connected = true;

  if (!IdentifyStatusPort()) {
    LogDebug("DEBUG: Couldn't identify server status port!");
    DisconnectConsole();
    return Fail(kErrStatusPort);
  }
  if (!SyncServerSettings()) {
    LogDebug("DEBUG: Couldn't sync current settings!");
    DisconnectConsole();
    return Fail(kErrReadSettings);
  }
  if (!SyncPlayerList()) {
    LogDebug("DEBUG: Couldn't sync player list!");
    DisconnectConsole();
    return Fail(kErrPlayerList);
  }
  LogMessage(kLogInfo, "Connected");
  return true;
}

void DisconnectConsole() {
  CloseSocket();
  ForgetConnectionFacts();
  LogMessage(kLogInfo, "Disconnected");
}

bool DropConsoleLink() {
  const int code = errno;
  ErrorCode() = code;
  if (code == ECONNRESET || code == ECONNABORTED || code == EPIPE) {
    LogMessage(kLogInfo, "Connection reset");
  } else if (code != 0) {
    LogMessage(kLogInfo, "Couldn't send message to console! %s", ErrorText(code));
  }
  DisconnectConsole();
  return false;
}

std::string OneConsoleLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\v' || c == '\f') c = ' ';
  }
  return text;
}

namespace {

// The commands that carry a password after their key.
bool CarriesSecret(const std::string& key) {
  static constexpr const char* kKeys[] = {"admin.enableRemoteAdmin", "admin.enableRemoteConsole",
                                          "game.serverPassword", "game.serverReservedPassword"};
  for (const char* secret : kKeys) {
    if (strcasecmp(key.c_str(), secret) == 0) return true;
  }
  return false;
}

// The request as the message log shows it: what follows such a key is "*".
std::string WithoutSecrets(const std::string& text) {
  std::string shown;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const std::size_t keyEnd = line.find(' ');
    shown += keyEnd != std::string::npos && CarriesSecret(line.substr(0, keyEnd))
                 ? line.substr(0, keyEnd) + " *"
                 : line;
    if (end < text.size()) shown += '\n';
    start = end + 1;
  }
  return shown;
}

// -message: the request's bytes as they are sent, a password aside. Encoded
// into the request buffer, which the request itself then takes.
void LogRequest(const std::string& request) {
  std::size_t size = 0;
  if (!Opts().messageLog || !EncodeCommandRequest(WithoutSecrets(request).c_str(), size)) return;
  AppendMessageLog("--Message--", g_link.requestBuffer.data(), size);
}

// Encodes `text` (its lines the commands), sends it and collects the response.
const char* SendRequest(const std::string& text) {
  if (!EnsureAllocated(g_link.requestBuffer) || !EnsureAllocated(g_link.responseBuffer)) {
    LogMessage(kLogInfo, "Couldn't send message to server! Out of memory.");
    return Fail(ENOMEM), nullptr;
  }
  std::size_t size = 0;
  const std::string request = CutToWidth(text, kConsoleTextMax);
  LogRequest(request);
  if (!EncodeCommandRequest(request.c_str(), size)) return nullptr;
  if (!SendAll(g_link.socket, g_link.requestBuffer.data(), size)) return DropConsoleLink(), nullptr;

  ReplyCollector reply(g_link.responseBuffer, ReplyKind::kCommand);
  if (!reply.Run()) return nullptr;
  const char* response = g_link.responseBuffer.data();
  AppendMessageLog("--Response--", response, std::strlen(response));
  return response;
}

std::string FormatText(const char* format, va_list args) {
  char text[kConsoleTextMax + 1];
  std::vsnprintf(text, sizeof text, format, args);
  return text;
}

}  // namespace

const char* SendConsoleMessage(const char* format, ...) {
  if (format == nullptr || format[0] == '\0') return Fail(EINVAL), nullptr;
  va_list args;
  va_start(args, format);
  const std::string text = FormatText(format, args);
  va_end(args);
  return SendRequest(OneConsoleLine(text));
}

const char* SendConsoleCommands(const std::vector<std::string>& commands) {
  if (commands.empty()) return Fail(EINVAL), nullptr;
  std::string text;
  for (const std::string& command : commands) text += OneConsoleLine(command) + "\n";
  return SendRequest(text);
}

const char* SendConsoleLines(const std::string& text) {
  if (text.empty()) return Fail(EINVAL), nullptr;
  return SendRequest(text);
}

bool MessagePlayers(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatText(format, args);
  va_end(args);
  const char* reply = Opts().adminMessages
                          ? SendConsoleMessage("admin.serverMessage \"%s\"", text.c_str())
                          : SendConsoleMessage("game.sayAll \"%s\"", text.c_str());
  return reply != nullptr;
}

const char* ReadConsoleOutput() {
  if (!EnsureAllocated(g_link.outputBuffer)) {
    LogMessage(kLogInfo,
               "Couldn't send character to console! Not enough memory is available to process "
               "this command.");
    return Fail(ENOMEM), nullptr;
  }
  std::uint8_t request[64];
  ByteWriter writer(request, sizeof request);
  char name[32];
  const int nameLength = std::snprintf(name, sizeof name, "ConsoleRun %i", g_link.channel);
  writer.PutU32(2);
  PutString(writer, name, static_cast<std::size_t>(nameLength));
  writer.PutU32(2);  // the NUL key: one zero character and its terminating zero
  writer.PutZeros(2);
  if (!writer.Ok()) return Fail(EINVAL), nullptr;
  if (!SendAll(g_link.socket, request, writer.Used())) return DropConsoleLink(), nullptr;

  ReplyCollector reply(g_link.outputBuffer, ReplyKind::kOutput);
  if (!reply.Run()) return nullptr;
  return g_link.outputBuffer.data();
}

void CloseConsoleAtShutdown() {
  if (g_link.socket >= 0) {
    char discard[1024];
    std::size_t drained = 0;
    int pending = 0;
    while (drained < kDrainLimit && ioctl(g_link.socket, FIONREAD, &pending) == 0 && pending > 0) {
      const ssize_t n = recv(g_link.socket, discard, sizeof discard, 0);
      if (n <= 0) break;
      drained += static_cast<std::size_t>(n);
    }
  }
  CloseSocket();
}

}  // namespace keldor
