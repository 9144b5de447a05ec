// Request dispatch: the rights each request needs, the payload it carries and
// how it is handled (at once, as a file exchange, or as a queued job).
// ServeClient itself is declared in remote/service.h for the main loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor {

struct Connection;

// A text payload fills at most this buffer, its NUL included.
constexpr std::size_t kTextPayloadMax = 256;

// What follows a request code on the wire.
enum class Payload { kNone, kText, kFile };

// The rights check of the request table: rights 0 refuse everything, the
// administrator's mask allows everything, a code outside the request range is refused.
bool MayRun(int actor, std::uint32_t code);

// The payload that follows `code`; kNone for a code outside the request range.
Payload RequestPayload(std::uint32_t code);

// Whether the line about a refused or failed request of a client may be
// logged now. Each connection has the first few logged one by one; the rest
// are counted and summed up in one line a minute, and when it ends. Slot 0
// (Keldor) may always.
bool MayLogRefusal(Connection& client);
bool MayLogRefusal(int slot);

// Where the metrics and test-alert requests are answered from: the alerts
// layer above provides both (wired in ConnectSubsystems). Without them the
// metrics reply is empty and a test reaches no target.
struct OperatorReports {
  std::string (*metrics)() = nullptr;
  // Queues a test alert to every target on behalf of `account`; the number of targets.
  int (*testAlerts)(const std::string& account) = nullptr;
};
void ConnectOperatorReports(OperatorReports reports);

}  // namespace keldor
