// The game server's UDP status query.
#include "gamelink/status_query.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "maps/rotation.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

constexpr std::size_t kRequestSize = 10;
constexpr int kReplyWaitMicroseconds = 1000000;
// Datagrams read from a probe's socket at most: only the server's reach it, but
// a server that floods it must not keep the pass reading.
constexpr int kProbeDatagramsMax = 16;
constexpr const char* kTooLarge =
    "Couldn't get server status! Response is greater than MAX_MSG_SIZE!";

struct Request {
  unsigned char bytes[kRequestSize];
};

// What belongs to one console connection, and the last reply.
struct QueryState {
  int statusPort = 0;
  float serverVersion = 0.0f;
  std::vector<char> reply;     // sized at start-up
  std::vector<char> datagram;  // what was received, kept for the next query
  StatusQueryRecord record;
  OwnedFd probe;  // the socket of the probe in flight, -1 when none
  Request probeRequest{};
};
StateTable<QueryState> g_query;

struct RequestKind {
  const char* name;
  bool info, players, teams;
};

constexpr RequestKind kRequests[] = {
    {"\\info\\", true, false, false},
    {"\\status\\", true, true, true},
    {"\\players\\", false, true, true},
};

// Reads zero-terminated strings out of the received datagram; any read past its
// end fails the whole reader.
class ReplyReader {
 public:
  ReplyReader(const char* data, std::size_t size) : data_(data), size_(size) {}
  bool Next(std::string& out) {
    if (!ok_ || offset_ >= size_) return ok_ = false;
    const void* end = std::memchr(data_ + offset_, '\0', size_ - offset_);
    if (end == nullptr) return ok_ = false;
    const std::size_t length = static_cast<const char*>(end) - (data_ + offset_);
    out.assign(data_ + offset_, length);
    offset_ += length + 1;
    return true;
  }
  bool Byte(signed char& out) {
    if (!ok_ || offset_ >= size_) return ok_ = false;
    out = static_cast<signed char>(data_[offset_++]);
    return true;
  }
  bool Ok() const { return ok_; }

 private:
  const char* data_;
  std::size_t size_;
  std::size_t offset_ = 5;  // type byte and request identifier
  bool ok_ = true;
};

enum class Rewrite { kOk, kTooLarge, kMalformed };

// Appends "\key\value\" sharing the boundary backslash with what came before.
bool AppendElement(std::string& text, const std::string& key, const std::string& value) {
  const std::size_t element = key.size() + value.size() + 3;
  if (element > kStatusElementMax || text.size() + element > kStatusReplySize - 1) return false;
  if (text.empty()) text += '\\';
  text += key + '\\' + value + '\\';
  return true;
}

// One player or team section: a skipped byte, the count, up to eight field
// names and then one value per field for each entry.
Rewrite RewriteSection(ReplyReader& reader, std::string& text) {
  signed char skipped = 0;
  signed char count = 0;
  if (!reader.Byte(skipped) || !reader.Byte(count)) return Rewrite::kMalformed;
  std::string fields[kStatusFieldsMax];
  int fieldCount = 0;
  for (std::string name; reader.Next(name) && !name.empty();) {
    if (fieldCount == kStatusFieldsMax) return Rewrite::kMalformed;
    fields[fieldCount++] = name;
  }
  if (!reader.Ok()) return Rewrite::kMalformed;
  for (int entry = 0; entry < count; ++entry) {
    for (int f = 0; f < fieldCount; ++f) {
      std::string value;
      if (!reader.Next(value)) return Rewrite::kMalformed;
      if (!AppendElement(text, fields[f] + std::to_string(entry), value)) return Rewrite::kTooLarge;
    }
  }
  return Rewrite::kOk;
}

Rewrite RewriteReply(const char* data, std::size_t size, const RequestKind& kind,
                     std::string& text) {
  ReplyReader reader(data, size);
  if (kind.info) {
    for (std::string key; reader.Next(key) && !key.empty();) {
      std::string value;
      if (!reader.Next(value)) return Rewrite::kMalformed;
      if (!AppendElement(text, key, value)) return Rewrite::kTooLarge;
    }
    if (!reader.Ok()) return Rewrite::kMalformed;
  }
  if (kind.players) {
    if (const Rewrite r = RewriteSection(reader, text); r != Rewrite::kOk) return r;
  }
  if (kind.teams) {
    if (const Rewrite r = RewriteSection(reader, text); r != Rewrite::kOk) return r;
  }
  return Rewrite::kOk;
}

void LogStatusReply(const char* text) {
  if (!Opts().statusLog) return;
  const std::time_t now = Now();
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%F %H:%M:%S", &local);
  // One write per line: a reply can be 32 KiB, more than one stdio buffer.
  AppendWhole("status.log", std::string(stamp) + " : [" + text + "]\n");
}

// A request identifier that a third party cannot guess, so that a forged reply
// would have to be read off the wire.
std::uint32_t RequestIdentifier() {
  std::uint32_t id = 0;
  if (getrandom(&id, sizeof id, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof id)) return id;
  std::random_device device;  // entropy not ready yet: rare, early at boot
  return device();
}

Request RequestBytes(std::uint32_t id, const RequestKind& kind) {
  return {{0xFE, 0xFD, 0x00, static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
           static_cast<unsigned char>(id >> 16), static_cast<unsigned char>(id >> 24),
           static_cast<unsigned char>(kind.info ? 0xFF : 0x00),
           static_cast<unsigned char>(kind.players ? 0xFF : 0x00),
           static_cast<unsigned char>(kind.teams ? 0xFF : 0x00)}};
}

// A datagram that answers `request`: it carries the request's identifier.
bool Answers(const char* datagram, long size, const Request& request) {
  return size >= 5 && std::memcmp(datagram + 1, request.bytes + 3, 4) == 0;
}

// A non-blocking socket connected to the game server's status port, so that
// the kernel hands on datagrams from that address and port alone, with the
// request sent; none (-1) with ErrorCode set on failure.
OwnedFd SendRequest(int port, const Request& request) {
  OwnedFd owned(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int fd = owned.get();
  if (fd < 0) return Fail(errno), OwnedFd();
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_port = htons(static_cast<std::uint16_t>(port));
  server.sin_addr.s_addr = htonl(static_cast<std::uint32_t>(Row(Setting::ServerIP).current));
  if (fd >= FD_SETSIZE || connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0 ||
      send(fd, request.bytes, sizeof request.bytes, 0) != static_cast<ssize_t>(kRequestSize)) {
    ErrorCode() = fd >= FD_SETSIZE ? EMFILE : errno;
    return OwnedFd();
  }
  return owned;
}

// Sends the request and waits up to one second for the reply that carries its
// identifier; returns the datagram's size or -1 with ErrorCode set.
long Exchange(int port, const RequestKind& kind, char* reply) {
  const Request request = RequestBytes(RequestIdentifier(), kind);
  const OwnedFd owned = SendRequest(port, request);
  const int fd = owned.get();
  if (fd < 0) return -1;

  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::microseconds(kReplyWaitMicroseconds);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(fd, &ready);
    timeval timeout{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
    const int count = select(fd + 1, &ready, nullptr, nullptr, &timeout);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    // One byte more than the limit tells a datagram that was too large.
    const ssize_t got = recv(fd, reply, kStatusReplySize + 1, 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got > static_cast<ssize_t>(kStatusReplySize) || (got < 0 && errno == EMSGSIZE)) {
      LogMessage(kLogInfo, "%s", kTooLarge);
      ErrorCode() = EMSGSIZE;
      return -1;
    }
    if (got <= 0) {
      ErrorCode() = got < 0 ? errno : ETIMEDOUT;
      return -1;
    }
    if (Answers(reply, got, request)) return got;
  }
  ErrorCode() = ETIMEDOUT;
  return -1;
}

}  // namespace

const char* QueryStatus(int port, const char* requestName) {
  const RequestKind* kind = nullptr;
  for (const RequestKind& k : kRequests) {
    if (requestName != nullptr && strcasecmp(requestName, k.name) == 0) kind = &k;
  }
  if (StatusReplyBuffer().size() < kStatusReplySize || port == 0 || kind == nullptr) {
    return Fail(EINVAL), nullptr;
  }
  // Emptied, not zero-filled: readers take it as a C string. A failed query
  // leaves no stale reply behind.
  StatusReplyBuffer()[0] = '\0';
  std::vector<char>& datagram = g_query->datagram;
  if (datagram.size() < kStatusReplySize + 1) datagram.resize(kStatusReplySize + 1);
  StatusQueryRecord& record = g_query->record;
  ++record.queries;
  record.lastAnswered = false;
  const long long sentAt = MonotonicMilliseconds();
  const long size = Exchange(port, *kind, datagram.data());
  if (size < 0) return nullptr;
  record.lastAnswerAt = MonotonicMilliseconds();
  record.lastLatencyMs = record.lastAnswerAt - sentAt;
  record.lastAnswered = true;
  ++record.answers;

  std::string text;
  switch (RewriteReply(datagram.data(), static_cast<std::size_t>(size), *kind, text)) {
    case Rewrite::kTooLarge:
      LogMessage(kLogInfo, "%s", kTooLarge);
      ErrorCode() = EMSGSIZE;  // callers report ErrorCode: never a stale one
      return nullptr;
    case Rewrite::kMalformed:
      LogMessage(kLogInfo, "Couldn't get server status! The response is malformed.");
      ErrorCode() = EBADMSG;
      return nullptr;
    case Rewrite::kOk:
      break;
  }
  std::memcpy(StatusReplyBuffer().data(), text.c_str(), text.size() + 1);
  LogStatusReply(StatusReplyBuffer().data());
  ErrorCode() = 0;
  return StatusReplyBuffer().data();
}

const char* StatusValue(const char* text, const char* key) {
  static char value[1024];
  if (text == nullptr || key == nullptr) return nullptr;
  const std::string needle = std::string("\\") + key + "\\";
  const char* found = std::strstr(text, needle.c_str());
  if (found == nullptr) return nullptr;
  const char* start = found + needle.size();
  const char* end = std::strchr(start, '\\');
  std::size_t length = end == nullptr ? std::strlen(start) : static_cast<std::size_t>(end - start);
  if (length > sizeof value - 1) length = sizeof value - 1;
  std::memcpy(value, start, length);
  value[length] = '\0';
  return value;
}

const char* LastStatusValue(const char* key) {
  const std::vector<char>& reply = StatusReplyBuffer();
  if (reply.empty() || reply.back() != '\0') return nullptr;
  return StatusValue(reply.data(), key);
}

namespace {

bool AnswersWithOurGamePort(int port) {
  const std::string expected = std::to_string(Row(Setting::ServerPort).current);
  const char* reply = QueryStatus(port, "\\info\\");
  const char* hostport = reply != nullptr ? StatusValue(reply, "hostport") : nullptr;
  return hostport != nullptr && strcasecmp(hostport, expected.c_str()) == 0;
}

bool Identified(int port) {
  g_query->statusPort = port;
  LogDebug("DEBUG: Identified server status port (%i).", port);
  return true;
}

}  // namespace

bool FindStatusPort() {
  const int configured = Row(Setting::ServerInternet).current != 0
                             ? Row(Setting::GameSpyPort).current
                             : Row(Setting::GameSpyLANPort).current;
  LogDebug("DEBUG: Testing configured port (%i)...", configured);
  if (AnswersWithOurGamePort(configured)) return Identified(configured);
  const std::vector<char>& reply = StatusReplyBuffer();
  if (!reply.empty() && StatusValue(reply.data(), "hostport") != nullptr) {
    LogDebug("DEBUG: Server is not using the configured status port! (%i).", configured);
  }
  for (int port = 23000; port <= 23009; ++port) {
    LogDebug("DEBUG: Testing status port %i ...", port);
    if (AnswersWithOurGamePort(port)) return Identified(port);
  }
  for (int port = 22000; port <= 22010; ++port) {
    LogDebug("DEBUG: Testing status port %i ...", port);
    if (AnswersWithOurGamePort(port)) return Identified(port);
  }
  return false;
}

std::string CurrentMapCombo() {
  const std::vector<char>& reply = StatusReplyBuffer();
  if (!GameServer().monitoring || reply.empty()) return "-";
  // Each lookup overwrites the value buffer: keep copies.
  std::string values[3];
  const char* keys[3] = {"mapname", "gametype", "game_id"};
  for (int k = 0; k < 3; ++k) {
    const char* value = StatusValue(reply.data(), keys[k]);
    if (value == nullptr) return "-";
    values[k] = value;
  }
  return MapComboOf(values[0], values[1], values[2]);
}

std::vector<char>& StatusReplyBuffer() {
  return g_query->reply;
}

int StatusPort() {
  return g_query->statusPort;
}
void ForgetStatusPort() {
  g_query->statusPort = 0;
}

const StatusQueryRecord& StatusQueries() {
  return g_query->record;
}

bool SendStatusProbe(int port) {
  ForgetStatusProbe();
  if (port <= 0 || port > 65535) return Fail(EINVAL);
  const Request request = RequestBytes(RequestIdentifier(), kRequests[0]);
  OwnedFd probe = SendRequest(port, request);
  if (probe.get() < 0) return false;
  g_query->probe = std::move(probe);
  g_query->probeRequest = request;
  return true;
}

bool StatusProbeAnswered() {
  QueryState& query = *g_query;
  if (query.probe.get() < 0) return false;
  bool answered = false;
  // The identifier is all that is looked at: a longer datagram is cut to this.
  char head[16];
  for (int read = 0; read < kProbeDatagramsMax && !answered; ++read) {
    const ssize_t got = recv(query.probe.get(), head, sizeof head, 0);
    if (got < 0) break;  // nothing more, or refused: nobody listens on the port
    answered = Answers(head, got, query.probeRequest);
  }
  ForgetStatusProbe();
  return answered;
}

void ForgetStatusProbe() {
  g_query->probe.Reset();
}

float& DetectedServerVersion() {
  return g_query->serverVersion;
}

}  // namespace keldor
