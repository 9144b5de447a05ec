// The rate limit and the retry decisions: see alert_policy.h.
#include "alerts/alert_policy.h"

#include <algorithm>

namespace keldor {

namespace {

bool CapReached(const AlertRateState& state, long long nowMs) {
  if (state.recentCount < kAlertHourlyCap) return false;
  // The ring is full: its next slot holds the oldest of the last messages.
  return nowMs - state.recent[state.recentNext] < kAlertCapWindowMs;
}

void Hold(AlertKindWindow& window, std::time_t wallNow) {
  if (window.held == 0) window.heldSince = wallNow;
  ++window.held;
}

}  // namespace

AlertAdmission AdmitAlert(AlertRateState& state, AlertKind kind, long long nowMs,
                          std::time_t wallNow) {
  const auto index = static_cast<std::size_t>(kind);
  if (index >= state.kinds.size()) return {};
  AlertKindWindow& window = state.kinds[index];
  const bool windowOpen = kind != AlertKind::kTest && window.lastSentMs >= 0 &&
                          nowMs - window.lastSentMs < kAlertKindWindowMs;
  if (windowOpen || CapReached(state, nowMs)) {
    Hold(window, wallNow);
    return {};
  }
  const AlertAdmission admitted{true, window.held, window.heldSince};
  window = AlertKindWindow{nowMs, 0, 0};
  state.recent[state.recentNext] = nowMs;
  state.recentNext = (state.recentNext + 1) % kAlertHourlyCap;
  state.recentCount = std::min(state.recentCount + 1, kAlertHourlyCap);
  return admitted;
}

AlertOutcome ClassifyAttempt(int curlCode, long status) {
  if (status >= 200 && status <= 299) return AlertOutcome::kDelivered;
  if (status == 0) return curlCode == 0 ? AlertOutcome::kRefused : AlertOutcome::kRetry;
  if (status == 408 || status == 429 || status >= 500) return AlertOutcome::kRetry;
  return AlertOutcome::kRefused;
}

long long NextRetryMs(long long previousMs, long retryAfterSeconds) {
  if (retryAfterSeconds >= 0) {
    return std::clamp(retryAfterSeconds * 1000LL, kAlertFirstRetryMs, kAlertLongestRetryMs);
  }
  if (previousMs <= 0) return kAlertFirstRetryMs;
  return std::min(previousMs * 2, kAlertLongestRetryMs);
}

}  // namespace keldor
