// The request patterns every client of Keldor needs. Keldor answers many
// requests only with a notification, some (uploads, refused requests) with
// nothing at all; so a request is followed by a ping, and the pong that comes
// back before the expected answer tells that none is coming.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "connection.h"

namespace keldorclient {

enum class Outcome {
  kOk,
  kBroken,   // the connection broke or Keldor said goodbye; Error() tells
  kRefused,  // Keldor did not carry the request out
  kFailed,   // Keldor reports a failure, or the answer is not available; Error() tells
};

// Notifications that arrive while a request waits for its answer.
// NOTE_DISCONNECT never reaches it: it ends the wait as kBroken.
using NoteSink = std::function<void(const Message&)>;

// The texts a refused request and a failed command leave in Error().
extern const char* const kRefusedText;
extern const char* const kCommandFailedText;

// Waits for one of `done`; NOTE_COMMAND_FAILED is a failure, and NOTE_PONG
// (unless awaited) means the request was not carried out.
Outcome AwaitNote(Connection& c, std::initializer_list<std::uint32_t> done, Message* answer,
                  const NoteSink& onNote);
// A request that Keldor turns into a job: the request (with its text when
// `text` is given), the ping behind it, and the wait for the answer.
Outcome RunJobRequest(Connection& c, std::uint32_t code, const std::string* text,
                      std::initializer_list<std::uint32_t> done, Message* answer,
                      const NoteSink& onNote);
// A request answered by a text reply.
Outcome AwaitText(Connection& c, std::uint32_t code, Message* reply, const NoteSink& onNote);
// Fetches one of Keldor's files.
Outcome Fetch(Connection& c, std::uint32_t request, std::string* content, const NoteSink& onNote);
// Uploads a file and waits until Keldor has handled it.
Outcome Upload(Connection& c, std::uint32_t request, const std::string& content,
               const NoteSink& onNote);

// Why a request was refused, for an account with `rights`: the right it needs
// when the account lacks it (kRefusedText when the request is not known).
std::string RefusalText(std::uint32_t rights, std::uint32_t request);

// What a refused login (result 1..7) means.
std::string LoginRefusalText(int result);
// The same for a whole outcome: a lockout's result 5 says how long it lasts.
std::string LoginRefusalText(const LoginOutcome& outcome);

}  // namespace keldorclient
