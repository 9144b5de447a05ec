// Request dispatch: reads one request from a client, checks its rights and
// either answers it at once or queues its job. Every request keeps the stream
// in step: a refused request of a known kind has its payload read and thrown
// away, and a request that cannot be read whole ends the connection. An
// upload's compressed bytes are taken as they arrive (spooled, or thrown away
// when refused), never held whole; what a client's refused requests cost in
// log lines is limited per connection.
#include "remote/dispatch.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/net.h"
#include "gamelink/status_query.h"
#include "process/server_control.h"
#include "remote/accounts.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "remote/transfer.h"
#include "runtime/alerting.h"
#include "runtime/game_server.h"
#include "settings/settings.h"
#include "wire/protocol.h"
#include "wire/rights.h"

namespace keldor {

namespace {

// The right each request needs is in the wire library's table, which the
// clients explain refusals from.
struct RequestRule {
  std::uint32_t code;
  Payload payload;
  std::uint32_t job;  // the job it becomes, or 0 when it is answered at once
};

// Indexed by code - kFirstRequest.
constexpr std::array<RequestRule, kLastRequest - kFirstRequest + 1> kRules = {{
    {REQ_GET_SETTINGS, Payload::kNone, 0},
    {REQ_PUT_SETTINGS, Payload::kFile, 0},
    {REQ_GET_PB_CONFIG, Payload::kNone, 0},
    {REQ_PUT_PB_CONFIG, Payload::kFile, 0},
    {REQ_PB_SAVE_CONFIG, Payload::kNone, JOB_PB_SAVE_CONFIG},
    {REQ_PB_LOAD_CONFIG, Payload::kNone, JOB_PB_LOAD_CONFIG},
    {REQ_GET_MODS, Payload::kNone, 0},
    {REQ_GET_MAPS, Payload::kNone, 0},
    {REQ_GET_ROTATION, Payload::kNone, 0},
    {REQ_PUT_ROTATION, Payload::kFile, 0},
    {REQ_GET_PLAYERS, Payload::kNone, 0},
    {REQ_GET_CLIENTS, Payload::kNone, 0},
    {REQ_GET_PLAYER_MENU, Payload::kNone, 0},
    {REQ_GET_BANS, Payload::kNone, 0},
    {REQ_PUT_BANS, Payload::kFile, 0},
    {REQ_GET_USERS, Payload::kNone, 0},
    {REQ_PUT_USERS, Payload::kFile, 0},
    {REQ_GET_SCHEDULE, Payload::kNone, 0},
    {REQ_PUT_SCHEDULE, Payload::kFile, 0},
    {REQ_GET_STATUS, Payload::kNone, 0},
    {REQ_GET_ANNOUNCEMENTS, Payload::kNone, 0},
    {REQ_PUT_ANNOUNCEMENTS, Payload::kFile, 0},
    {REQ_GET_BANNED_WORDS, Payload::kNone, 0},
    {REQ_PUT_BANNED_WORDS, Payload::kFile, 0},
    {REQ_START_SERVER, Payload::kNone, 0},
    {REQ_STOP_SERVER, Payload::kNone, 0},
    {REQ_TOGGLE_PAUSE, Payload::kNone, JOB_TOGGLE_PAUSE},
    {REQ_GET_JOIN_INFO, Payload::kNone, 0},
    {REQ_CHANGE_MAP, Payload::kText, JOB_CHANGE_MAP},
    {REQ_RUN_NEXT_MAP, Payload::kNone, JOB_RUN_NEXT_MAP},
    {REQ_SET_NEXT_MAP, Payload::kText, JOB_SET_NEXT_MAP},
    {REQ_SET_IDLE_MAP, Payload::kText, JOB_SET_IDLE_MAP},
    {REQ_RESTART_MAP, Payload::kNone, JOB_RESTART_MAP},
    {REQ_KICK_PLAYER, Payload::kText, JOB_KICK_PLAYER},
    {REQ_DISCONNECT_CLIENT, Payload::kText, JOB_DISCONNECT_CLIENT},
    {REQ_BAN_PLAYER, Payload::kText, JOB_BAN_PLAYER},
    {REQ_REMOVE_BAN, Payload::kText, JOB_REMOVE_BAN},
    {REQ_CLEAR_BANS, Payload::kNone, JOB_CLEAR_BANS},
    {REQ_VERIFY_BAN_SYNC, Payload::kNone, JOB_VERIFY_BAN_SYNC},
    {REQ_SYNC_TO_SERVER_BANS, Payload::kNone, JOB_SYNC_TO_SERVER_BANS},
    {REQ_SYNC_FROM_SERVER_BANS, Payload::kNone, JOB_SYNC_FROM_SERVER_BANS},
    {REQ_SAY_ALL, Payload::kText, JOB_SAY_ALL},
    {REQ_SERVER_MESSAGE, Payload::kText, JOB_SERVER_MESSAGE},
    {REQ_CONSOLE_COMMAND, Payload::kText, JOB_CONSOLE_COMMAND},
    {REQ_SET_PASSWORD, Payload::kText, JOB_SET_PASSWORD},
    {REQ_GET_LOG, Payload::kNone, 0},
    {REQ_SCREENSHOT, Payload::kText, JOB_SCREENSHOT},
    {REQ_PING, Payload::kNone, 0},
    {REQ_GET_METRICS, Payload::kNone, 0},
    {REQ_TEST_ALERTS, Payload::kNone, 0},
}};

const RequestRule* RuleFor(std::uint32_t code) {
  if (code < kFirstRequest || code > kLastRequest) return nullptr;
  return &kRules[code - kFirstRequest];
}

// The lines left out of the log, summed up once their minute is over or the
// connection ends.
void SumUpNoise(Connection& client, long long now, bool closing) {
  const int count = DueNoiseSummary(client.noise, now, closing);
  if (count == 0) return;
  LogMessage(kLogInfo,
             "SECURITY ALERT! Client at %s sent %i more unknown, refused or failed requests; they "
             "were not logged one by one.",
             client.address.c_str(), count);
}

// The connection ends: the client closed it, or the rest of its request
// cannot be read in step.
void DropConnection(Connection& client) {
  SumUpNoise(client, 0, true);
  EndConnectionSoon(client);
}

std::uint32_t WordAt(const std::string& bytes, std::size_t at) {
  Word word{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), word.size(), word.begin());
  return DecodeWord(word);
}

// Where the request at the front of the input ends. Refused requests are
// framed as accepted ones, so that their payload is skipped whole. An upload
// that announces compressed bytes is framed up to its header: those bytes
// follow as an inflow.
struct Frame {
  std::size_t length = 4;  // the bytes it takes, or what it needs at least so far
  bool complete = false;
  bool outOfStep = false;  // a length out of bounds: the next request cannot be found
  std::size_t upload = 0;  // the compressed bytes an upload announces, after `length`
};

Frame FrameRequest(const std::string& in) {
  Frame f;
  if (in.size() < 4) return f;
  const RequestRule* rule = RuleFor(WordAt(in, 0));
  if (rule == nullptr || rule->payload == Payload::kNone) {
    f.complete = true;
    return f;
  }
  f.length = 8;
  if (in.size() < f.length) return f;
  const std::uint32_t first = WordAt(in, 4);
  if (rule->payload == Payload::kText) {
    f.outOfStep = first > kTextPayloadMax;
    if (!f.outOfStep) f.length += first;
  } else if (first != 0 && first != XFER_FAIL_MARKER) {
    f.length = 4 + kTransferHeaderSize;
    if (in.size() < f.length) return f;
    const std::uint32_t packed = WordAt(in, 8);
    f.outOfStep = first > kTransferMax || packed == 0 || packed > PackedBound(first);
    if (!f.outOfStep) f.upload = packed;
  }
  f.complete = in.size() >= f.length;
  return f;
}

void ReceiveFailed(Connection& client, int error) {
  LogMessage(kLogInfo, "Couldn't receive command from client at %s! %s", client.address.c_str(),
             ErrorText(error));
  DropConnection(client);
}

// A text length beyond the buffer: its surplus could only be taken as
// requests, so the connection ends.
void TextTooLong(Connection& client, std::uint32_t code, const std::string& message) {
  LogMessage(kLogInfo,
             "SECURITY ALERT! Client at %s sent a text of %u bytes with command %.8lX; at most "
             "%zu are taken.",
             client.address.c_str(), WordAt(message, 4), static_cast<unsigned long>(code),
             kTextPayloadMax);
  ReceiveFailed(client, EMSGSIZE);
}

// A text payload: at most 255 characters, up to its first NUL.
std::string TextOf(const std::string& message) {
  std::array<char, kTextPayloadMax> buffer{};
  std::copy(message.begin() + 8, message.end(), buffer.begin());
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

// The payload of a refused request of a known kind was skipped whole, so that
// the next word read is the next request code, as the client meant it.
void RefusePayload(Connection& client, const RequestRule& rule, const Frame& frame,
                   const std::string& message) {
  if (!frame.outOfStep) return;
  if (rule.payload == Payload::kText) return TextTooLong(client, rule.code, message);
  ReceiveFailed(client, kErrTransferHeader);
}

// A text reply: the length with the NUL, then the text, as one message; or
// the word 0 alone.
void SendTextReply(Connection& client, const std::string* text) {
  const std::size_t size = text == nullptr ? 0 : text->size() + 1;
  const Word length = EncodeWord(static_cast<std::uint32_t>(size));
  SendToClient(client, length.data(), length.size(), text == nullptr ? nullptr : text->c_str(),
               size);
}

// A start or stop order's outcome: every client hears when there was nothing to do.
void TellServerOrder(Connection& client, ServerOrder outcome, std::uint32_t alreadyNote) {
  if (outcome == ServerOrder::kAlreadyDone) NotifyAllClients(alreadyNote, nullptr, 0, 0);
  if (outcome == ServerOrder::kFailed) NotifyClient(client, NOTE_COMMAND_FAILED, nullptr, 0);
}

void SendStatus(Connection& client) {
  std::string text;
  SendTextReply(client, GetServerStatusString(&text) ? &text : nullptr);
}

OperatorReports g_reports;

void SendMetrics(Connection& client) {
  const std::string text = g_reports.metrics != nullptr ? g_reports.metrics() : std::string();
  SendTextReply(client, &text);
}

void SendTestAlerts(Connection& client) {
  const int targets = g_reports.testAlerts != nullptr ? g_reports.testAlerts(client.userName) : 0;
  const std::string text = std::to_string(targets);
  SendTextReply(client, &text);
}

// "hostport,1" (or ",0" on a LAN server) while the game runs and has answered
// a status query; otherwise the information is not available.
void SendJoinInfo(Connection& client) {
  const std::vector<char>& reply = StatusReplyBuffer();
  const char* port = nullptr;
  if (GameServer().monitoring && StatusPort() != 0 && !reply.empty() && reply.back() == '\0') {
    port = StatusValue(reply.data(), "hostport");
  }
  if (port == nullptr) {
    SendTextReply(client, nullptr);
    return;
  }
  const std::string text =
      std::string(port) + "," + (Row(Setting::ServerInternet).current != 0 ? "1" : "0");
  SendTextReply(client, &text);
}

// Handles an accepted request, whose message is complete.
void Handle(Connection& client, const RequestRule& rule, const Frame& frame,
            const std::string& message) {
  const std::string user = client.userName;
  const std::string address = client.address;
  if (rule.payload == Payload::kText || rule.job != 0) {
    const bool withText = rule.payload == Payload::kText;
    if (withText && frame.outOfStep) return TextTooLong(client, rule.code, message);
    const std::string text = withText ? TextOf(message) : std::string();
    // A job dropped by a full queue will never answer: the client hears of it now.
    if (!QueueJob(rule.job, withText ? text.c_str() : nullptr, SlotOf(client), 0)) {
      NotifyClient(client, NOTE_COMMAND_FAILED, nullptr, 0);
    }
    return;
  }
  if (IsDownloadRequest(rule.code)) {
    SendRequestedFile(rule.code, client);
    return;
  }
  if (IsUploadRequest(rule.code)) {
    ReceiveRequestedFile(rule.code, client, std::string_view(message).substr(4));
    // A header out of bounds leaves the rest of the message unknown: the connection ends.
    if (frame.outOfStep) DropConnection(client);
    return;
  }
  switch (rule.code) {
    case REQ_START_SERVER:
      TellServerOrder(client, StartServerFor(Actor{user, address}), NOTE_ALREADY_RUNNING);
      break;
    case REQ_STOP_SERVER:
      TellServerOrder(client, StopServerFor(Actor{user, address}), NOTE_ALREADY_STOPPED);
      break;
    case REQ_GET_STATUS:
      SendStatus(client);
      break;
    case REQ_GET_JOIN_INFO:
      SendJoinInfo(client);
      break;
    case REQ_PING:
      NotifyClient(client, NOTE_PONG, nullptr, 0);
      break;
    case REQ_GET_METRICS:
      SendMetrics(client);
      break;
    case REQ_TEST_ALERTS:
      SendTestAlerts(client);
      break;
    default:
      break;
  }
}

void Refused(Connection& client, std::uint32_t code) {
  if (!MayLogRefusal(client)) return;
  LogMessage(kLogInfo, "SECURITY ALERT! Client at %s does not have access to command %.8lX!",
             client.address.c_str(), static_cast<unsigned long>(code));
  const char* name = RequestName(code);
  const std::string request = name != nullptr ? name : "an unknown request";
  RaiseAlert({AlertKind::kSecurity,
              "User " + client.userName + " at " + client.address + " was refused " + request +
                  ": the account lacks the right.",
              {{"by", client.userName}, {"address", client.address}, {"request", request}}});
}

// A code we do not know; a run of nothing else is not our protocol.
void Unknown(Connection& client, std::uint32_t code) {
  if (MayLogRefusal(client)) {
    LogMessage(kLogInfo, "Received bogus command %.8lX from client at %s!",
               static_cast<unsigned long>(code), client.address.c_str());
  }
  if (++client.noise.unknownInRow < kUnknownRequestsInRow) return;
  DropConnection(client);
  LogMessage(kLogInfo,
             "SECURITY ALERT! Client at %s sent %i unknown requests in a row; the connection is "
             "closed.",
             client.address.c_str(), kUnknownRequestsInRow);
  RaiseAlert({AlertKind::kSecurity,
              "The client at " + client.address +
                  " kept sending unknown requests; its connection was closed.",
              {{"by", client.userName}, {"address", client.address}}});
}

void Accepted(Connection& client) {
  if (!LoggedIn(client)) return;  // a disconnect of itself may have freed it
  client.noise.unknownInRow = 0;
  client.lastRequest = Now();
}

void HandleMessage(Connection& client, const std::string& message, const Frame& frame) {
  const std::uint32_t code = WordAt(message, 0);
  const RequestRule* rule = RuleFor(code);
  if (rule == nullptr) return Unknown(client, code);
  if (!RightsAllow(client.rights, code)) {
    Refused(client, code);
    RefusePayload(client, *rule, frame, message);
    return;
  }
  Handle(client, *rule, frame, message);
  Accepted(client);
}

std::string DottedAddress(const Connection& client) {
  return client.address.substr(0, client.address.find(':'));
}

// The request that could not be completed, reported as its receive failing:
// an upload with the file's line, anything else with the command's.
void RequestBrokeOff(Connection& client, int error) {
  const std::string& in = client.io.input;
  const Inflow& inflow = client.io.inflow;
  const std::uint32_t code = inflow.request != 0 ? inflow.request
                             : in.size() >= 4    ? WordAt(in, 0)
                                                 : 0;
  const bool upload = inflow.request != 0
                          ? inflow.accepted
                          : IsUploadRequest(code) && RightsAllow(client.rights, code);
  if (upload) {
    ErrorCode() = error;
    LogMessage(kLogInfo, "Couldn't receive %s from peer at %s! %s", UploadPath(code).c_str(),
               DottedAddress(client).c_str(), ErrorText(error));
    DropConnection(client);
    return;
  }
  ReceiveFailed(client, error);
}

// The request being read must be complete by its deadline: a few seconds, and
// one more for every so many compressed bytes an upload announces.
void SetDeadline(ConnectionIo& io, std::size_t upload) {
  if (io.deadline == 0) io.messageStart = MonotonicMilliseconds();
  io.deadline = io.messageStart + kRequestDeadlineMs +
                static_cast<long long>(upload / kUploadBytesPerSecond) * 1000;
}

// Takes the inflow's bytes that have arrived; once all are there, the upload
// is stored (or, refused, is over).
void FollowInflow(Connection& client) {
  ConnectionIo& io = client.io;
  TakeInflow(io);
  if (io.inflow.remaining > 0) return;
  io.deadline = 0;
  const Inflow done = std::exchange(io.inflow, Inflow{});
  if (!done.accepted) return;
  ReceiveSpooledFile(client, done);
  Accepted(client);
}

// An upload's header: its compressed bytes are spooled as they arrive when it
// is accepted, thrown away when not.
void StartInflow(Connection& client, const std::string& header, const Frame& frame) {
  ConnectionIo& io = client.io;
  SetDeadline(io, frame.upload);
  Inflow& in = io.inflow;
  in.request = WordAt(header, 0);
  in.header = {WordAt(header, 4), WordAt(header, 8), WordAt(header, 12)};
  in.remaining = frame.upload;
  in.accepted = RightsAllow(client.rights, in.request);
  if (!in.accepted) {
    Refused(client, in.request);
  } else {
    in.spool = OpenUploadSpool();
    if (in.spool.get() < 0) in.error = errno;
  }
  FollowInflow(client);
}

// Acts on the request at the front of the client's input when it is complete:
// one per pass, so that the jobs it queued run, and tell the client, before the
// next request is read, as they always have. An incomplete one gets its deadline.
void ServeRequest(Connection& client) {
  ConnectionIo& io = client.io;
  if (!LoggedIn(client) || io.input.empty() || OwedBytes(io) > kOutputHighWater) return;
  if (io.inflow.request != 0) return FollowInflow(client);
  const Frame frame = FrameRequest(io.input);
  if (!frame.complete) return SetDeadline(io, frame.upload);
  const std::string message = io.input.substr(0, frame.length);
  io.input.erase(0, frame.length);
  if (frame.upload > 0) return StartInflow(client, message, frame);
  io.deadline = 0;
  HandleMessage(client, message, frame);
}

// Output that could not be written: the connection ends, with the line of
// what was being sent.
void OutputFailed(Connection& client, int error) {
  ErrorCode() = error;
  if (!client.io.sending.empty()) {
    LogMessage(kLogInfo, "Couldn't send %s to peer at %s! %s", client.io.sending.c_str(),
               DottedAddress(client).c_str(), ErrorText(error));
  } else {
    LogMessage(kLogInfo, "Couldn't notify client at %s! %s", client.address.c_str(),
               ErrorText(error));
  }
  SumUpNoise(client, 0, true);
  // The message it did not take is freed with the connection.
  if (client.io.output.capacity() > kKeptBufferMax) ReleaseFreedMemorySoon();
  if (error == ENOTSOCK) {
    ForgetConnection(client);
  } else {
    EndConnectionSoon(client);
  }
}

void Serve(Connection& client, bool readable, bool writable) {
  if (!LoggedIn(client)) return;
  const int fd = client.fd.get();
  if (writable && !FlushOutput(fd, client.io)) return OutputFailed(client, errno);
  // Nothing more is read while a whole request waits: a client that floods us
  // fills its own socket, not our memory.
  if (readable && !RequestWaiting(client)) ReadAvailable(fd, client.io);
  ServeRequest(client);
  if (!LoggedIn(client) || !client.io.peerClosed || RequestWaiting(client)) return;
  // Bytes left over are a request the client never finished.
  if (!client.io.input.empty() || client.io.inflow.request != 0) {
    return RequestBrokeOff(client, client.io.readError);
  }
  DropConnection(client);
}

// What the client is in the middle of, kept where a reader of the table sees it.
void NoteActivity(Connection& client) {
  if (!LoggedIn(client)) return;
  const ConnectionIo& io = client.io;
  client.state = io.inflow.request != 0 ? ConnectionState::kUpload
                 : !io.sending.empty()  ? ConnectionState::kDownload
                 : !io.input.empty()    ? ConnectionState::kRequest
                                        : ConnectionState::kLoggedIn;
}

}  // namespace

Payload RequestPayload(std::uint32_t code) {
  const RequestRule* rule = RuleFor(code);
  return rule != nullptr ? rule->payload : Payload::kNone;
}

bool MayLogRefusal(Connection& client) {
  return TakeNoiseLine(client.noise, MonotonicMilliseconds());
}

bool MayLogRefusal(int slot) {
  if (slot < kFirstClientSlot || slot > kLastClientSlot) return true;
  return MayLogRefusal(Connections()[slot]);
}

void ConnectOperatorReports(OperatorReports reports) {
  g_reports = reports;
}

bool MayRun(int actor, std::uint32_t code) {
  return RightsAllow(ActorRights(actor), code);
}

void ServeClient(Connection& client, bool readable, bool writable) {
  Serve(client, readable, writable);
  NoteActivity(client);
}

bool RequestWaiting(const Connection& client) {
  if (!LoggedIn(client)) return false;
  const ConnectionIo& io = client.io;
  return !io.input.empty() && OwedBytes(io) <= kOutputHighWater &&
         (io.inflow.request != 0 || FrameRequest(io.input).complete);
}

void CheckClientTimer(Connection& client, long long nowMs) {
  // Called for every client on every pass, so the memory of finished transfers
  // goes back within a pass of its time, whether or not anyone is connected.
  ReleaseFreedMemoryIfDue(nowMs);
  if (!LoggedIn(client)) return;
  SumUpNoise(client, nowMs, false);
  ConnectionIo& io = client.io;
  if (OutputStalled(io, nowMs)) return OutputFailed(client, ETIMEDOUT);
  // While its replies wait unread, a client's requests are not being read:
  // the stall above, not the request's deadline, decides.
  if (io.deadline != 0 && nowMs >= io.deadline && OwedBytes(io) <= kOutputHighWater) {
    RequestBrokeOff(client, ETIMEDOUT);
  }
  NoteActivity(client);
}

}  // namespace keldor
