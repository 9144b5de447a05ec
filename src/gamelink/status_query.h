// The game server's UDP status query: the request, the reply rewritten into one
// backslash-delimited text, values picked from it by key, and the search for the
// port the server answers on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keldor {

constexpr std::size_t kStatusReplySize = 32768;

constexpr int kStatusFieldsMax = 8;      // field names per player or team section
constexpr int kStatusElementMax = 1023;  // one rewritten element, separators included

// Sends `requestName` ("\info\", "\status\" or "\players\", any case) to the game
// server at `port`; returns the reply text (the shared status reply buffer) or
// nullptr with ErrorCode set.
const char* QueryStatus(int port, const char* requestName);

// The value of `key` in a reply text, or nullptr; a shared buffer that the next call overwrites.
const char* StatusValue(const char* text, const char* key);

// The value of `key` in the last status reply (as StatusValue), or nullptr.
const char* LastStatusValue(const char* key);

// Probes the configured status port, then the usual ones, for the one that
// reports our game port; stores it on success.
bool FindStatusPort();

// The shared status reply buffer: the last reply text, NUL-terminated; start-up
// sizes it to kStatusReplySize.
std::vector<char>& StatusReplyBuffer();

// The port found by FindStatusPort; 0 while unknown.
int StatusPort();
void ForgetStatusPort();

// The combo ("map mode mod") the game server is playing by the last status
// reply; "-" while no server is watched or the reply does not tell.
std::string CurrentMapCombo();

// What the queries have brought, for the metrics and the hang watch. An answer
// counts whatever it held: a malformed reply still proves the server lives.
struct StatusQueryRecord {
  std::uint64_t queries = 0;
  std::uint64_t answers = 0;
  bool lastAnswered = false;
  long long lastAnswerAt = 0;    // monotonic milliseconds; 0: never
  long long lastLatencyMs = -1;  // of the last answer; -1: none yet
};
const StatusQueryRecord& StatusQueries();

// The "\info\" request without the wait, for the hang watch, which must not
// hold up the loop: SendStatusProbe sends it to `port` and returns at once;
// StatusProbeAnswered, a pass later, reads what has arrived without waiting and
// tells whether the reply to that probe is among it, and ends the probe; a new
// probe ends the one before. A probe's reply is neither rewritten nor kept, and
// leaves the record alone.
bool SendStatusProbe(int port);
bool StatusProbeAnswered();
void ForgetStatusProbe();

// The game server's version as its status replies give it; 0 while unknown.
// Like the status port it belongs to one console connection.
float& DetectedServerVersion();

}  // namespace keldor
