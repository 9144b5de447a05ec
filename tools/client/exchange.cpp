// The request patterns: each request is followed by a ping, whose pong marks
// the end of what Keldor will say about it.
#include "exchange.h"

#include <algorithm>

#include "core/log.h"
#include "wire/protocol.h"
#include "wire/rights.h"
#include "wire/transfer_frame.h"

namespace keldorclient {

using namespace keldor;

const char* const kRefusedText =
    "Keldor did not carry out the request: the account lacks the right for it, or Keldor "
    "ignored it (its log tells).";
const char* const kCommandFailedText = "Keldor reports that the command failed.";

namespace {

bool Contains(std::initializer_list<std::uint32_t> codes, std::uint32_t code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

Outcome Refused(Connection& c) {
  c.SetError(RefusalText(c.Rights(), c.LastRequest()));
  return Outcome::kRefused;
}

// False (with the reason set) for the goodbye that ends every wait.
bool Pass(Connection& c, const Message& note, const NoteSink& onNote) {
  if (note.code == NOTE_DISCONNECT) {
    c.SetError("Keldor closed the connection (NOTE_DISCONNECT).");
    return false;
  }
  if (onNote) onNote(note);
  return true;
}

bool SendPing(Connection& c) {
  return c.SendRequest(REQ_PING);
}

}  // namespace

Outcome AwaitNote(Connection& c, std::initializer_list<std::uint32_t> done, Message* answer,
                  const NoteSink& onNote) {
  Message note;
  for (;;) {
    if (!c.Receive(&note, c.Timeout())) return Outcome::kBroken;
    if (!note.isNote) {
      c.SetError("Keldor sent a reply nobody asked for.");
      return Outcome::kBroken;
    }
    if (Contains(done, note.code)) {
      if (answer != nullptr) *answer = note;
      return Outcome::kOk;
    }
    if (note.code == NOTE_COMMAND_FAILED) {
      c.SetError(kCommandFailedText);
      return Outcome::kFailed;
    }
    if (note.code == NOTE_PONG) return Refused(c);
    if (!Pass(c, note, onNote)) return Outcome::kBroken;
  }
}

namespace {

// The pong of the ping behind a request that has been answered is still on its
// way: read here, it is not taken for the answer to whatever follows on this
// connection. The reason the answer left in Error() stays.
Outcome AwaitTrailingPong(Connection& c, const NoteSink& onNote) {
  const std::string reason = c.Error();
  if (const Outcome o = AwaitNote(c, {NOTE_PONG}, nullptr, onNote); o != Outcome::kOk) return o;
  c.SetError(reason);
  return Outcome::kOk;
}

}  // namespace

Outcome RunJobRequest(Connection& c, std::uint32_t code, const std::string* text,
                      std::initializer_list<std::uint32_t> done, Message* answer,
                      const NoteSink& onNote) {
  const bool sent = text != nullptr ? c.SendTextRequest(code, *text) : c.SendRequest(code);
  if (!sent || !SendPing(c)) return Outcome::kBroken;
  Message ignored;
  if (answer == nullptr) answer = &ignored;
  const Outcome outcome = AwaitNote(c, done, answer, onNote);
  // The job answered before the ping.
  if ((outcome == Outcome::kOk && answer->code != NOTE_PONG) || outcome == Outcome::kFailed) {
    if (const Outcome o = AwaitTrailingPong(c, onNote); o != Outcome::kOk) return o;
  }
  return outcome;
}

Outcome AwaitText(Connection& c, std::uint32_t code, Message* reply, const NoteSink& onNote) {
  if (!c.SendRequest(code) || !SendPing(c)) return Outcome::kBroken;
  for (;;) {
    if (!c.Receive(reply, c.Timeout())) return Outcome::kBroken;
    if (!reply->isNote) break;
    if (reply->code == NOTE_PONG) return Refused(c);
    if (!Pass(c, *reply, onNote)) return Outcome::kBroken;
  }
  return AwaitTrailingPong(c, onNote);
}

Outcome Fetch(Connection& c, std::uint32_t request, std::string* content, const NoteSink& onNote) {
  if (!c.SendRequest(request) || !SendPing(c)) return Outcome::kBroken;
  Connection::FileReply reply;
  if (!c.ReceiveFile(&reply, c.Timeout(),
                     [&](const Message& note) { return Pass(c, note, onNote); })) {
    return Outcome::kBroken;
  }
  if (reply.refused) return Refused(c);
  if (reply.failed) {
    c.SetError("Keldor could not produce the file (its log tells why).");
    return Outcome::kFailed;
  }
  if (const Outcome o = AwaitTrailingPong(c, onNote); o != Outcome::kOk) return o;
  *content = std::move(reply.content);
  return Outcome::kOk;
}

Outcome Upload(Connection& c, std::uint32_t request, const std::string& content,
               const NoteSink& onNote) {
  std::string message;
  if (!EncodeTransfer(content, &message)) {
    c.SetError("couldn't compress the file.");
    return Outcome::kFailed;
  }
  // Keldor answers an upload with nothing; the pong says it has been handled.
  if (!c.SendRequest(request) || !c.SendBytes(message) || !SendPing(c)) return Outcome::kBroken;
  const Outcome outcome = AwaitNote(c, {NOTE_PONG}, nullptr, onNote);
  // A stored file Keldor could not take whole is failed before the pong, which
  // must not be left to answer the next request.
  if (outcome != Outcome::kFailed) return outcome;
  const Outcome trailing = AwaitTrailingPong(c, onNote);
  return trailing == Outcome::kOk ? outcome : trailing;
}

std::string RefusalText(std::uint32_t rights, std::uint32_t request) {
  if (request == 0 || NeededText(request).empty()) return kRefusedText;
  if (RightsAllow(rights, request)) {
    return "Keldor did not carry out the request, although the account holds the right it "
           "needs (Keldor's log may tell why).";
  }
  return "Keldor did not carry out the request: it needs " + NeededText(request) +
         ", which this account lacks.";
}

// The texts the administrators' client shows for a refusal; its table has none for 4, 6 and 7.
std::string LoginRefusalText(int result) {
  switch (result) {
    case 1:
      return ErrorText(30003);
    case 2:
      return ErrorText(30004);
    case 3:
      return ErrorText(30005);
    case 5:
      return ErrorText(30006);
    case 4:
      return "The user account has no access rights.";
    case 6:
      return "The user account is already logged in and may not log in twice.";
    case 7:
      return "The maximum number of connected clients has been reached.";
    default:
      return ErrorText(30002);
  }
}

std::string LoginRefusalText(const LoginOutcome& outcome) {
  if (outcome.lockoutMinutes > 0) return LockoutText(outcome.lockoutMinutes);
  return LoginRefusalText(outcome.result);
}

}  // namespace keldorclient
