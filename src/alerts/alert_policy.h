// The decisions of alert delivery, apart from its sockets: which reports a
// target is sent and which are folded into a count (the rate limit), how long
// to wait before trying again, and what an attempt's outcome means.
#pragma once

#include <array>
#include <cstddef>
#include <ctime>

#include "runtime/alerting.h"

namespace keldor {

// One message per kind and target in this window; those that come sooner are
// counted and the next message of the kind tells how many there were.
constexpr long long kAlertKindWindowMs = 5 * 60 * 1000;
// At most this many messages to one target in kAlertCapWindowMs, whatever their kinds.
constexpr std::size_t kAlertHourlyCap = 30;
constexpr long long kAlertCapWindowMs = 60 * 60 * 1000;
// Retries of one message: after 2 s, doubling up to 5 minutes, 8 attempts in all.
constexpr long long kAlertFirstRetryMs = 2000;
constexpr long long kAlertLongestRetryMs = 5 * 60 * 1000;
constexpr int kAlertAttemptsMax = 8;

struct AlertKindWindow {
  long long lastSentMs = -1;  // monotonic; -1: none yet
  int held = 0;               // folded since, for the next message
  std::time_t heldSince = 0;  // wall clock of the first of them
};

struct AlertRateState {
  std::array<AlertKindWindow, kAlertKinds> kinds;
  std::array<long long, kAlertHourlyCap> recent{};  // when the last messages went, a ring
  std::size_t recentCount = 0;
  std::size_t recentNext = 0;
};

struct AlertAdmission {
  bool send = false;
  int more = 0;  // folded reports the message tells of
  std::time_t since = 0;
};

// Whether a report of `kind` raised now goes out; one that does not is counted
// for the next. A test report is held only by the hourly cap.
AlertAdmission AdmitAlert(AlertRateState& state, AlertKind kind, long long nowMs,
                          std::time_t wallNow);

enum class AlertOutcome { kDelivered, kRetry, kRefused };

// An attempt's outcome from libcurl's result and the HTTP status (0: none).
// A 2xx is delivered; a 408, a 429 and a 5xx are tried again, as is a
// transport failure; any other status (a redirect too: none is followed) is refused for good.
AlertOutcome ClassifyAttempt(int curlCode, long status);

// The wait before the next attempt when the last wait was `previousMs` (0:
// none); a 429's Retry-After (seconds, -1: none) is honoured within the longest wait.
long long NextRetryMs(long long previousMs, long retryAfterSeconds);

}  // namespace keldor
