// The command queue: see job_queue.h.
#include "runtime/job_queue.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "core/clock.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/state_table.h"
#include "runtime/options.h"

namespace keldor {

namespace {

StateTable<CommandQueue> g_table;
CommandQueue& g_queue = *g_table;
JobRunner g_runner = nullptr;  // wiring, not state: set at start-up

bool QueueFull() {
  return g_queue[kQueueCapacity - 1].code != 0;
}

void Append(std::uint32_t code, const char* text, std::int32_t actor, unsigned delay) {
  for (QueuedCommand& entry : g_queue) {
    if (entry.code != 0) continue;
    entry.code = code;
    entry.text = text == nullptr ? std::string() : CutToWidth(text, kJobTextMax);
    entry.actor = actor;
    entry.due = MonotonicNow() + static_cast<std::time_t>(delay);
    return;
  }
}

// Takes entry k out and closes the gap, keeping the queue packed in queueing order.
QueuedCommand TakeEntry(std::size_t k) {
  QueuedCommand job = std::move(g_queue[k]);
  for (std::size_t i = k; i + 1 < kQueueCapacity; ++i) g_queue[i] = std::move(g_queue[i + 1]);
  g_queue[kQueueCapacity - 1] = QueuedCommand{};
  return job;
}

}  // namespace

const CommandQueue& JobQueue() {
  return g_queue;
}

void ClearJobQueue() {
  g_table.Reset();
}

bool QueueJob(std::uint32_t code, const char* text, std::int32_t actor, unsigned delay) {
  if (QueueFull()) {
    LogMessage(kLogInfo, "DEBUG: Couldn't queue command %.8lX, the queue is full!",
               static_cast<unsigned long>(code));
    return false;
  }
  Append(code, text, actor, delay);
  return true;
}

bool QueueJobOnce(std::uint32_t code, const char* text, std::int32_t actor, unsigned delay) {
  if (QueueFull()) {
    LogMessage(kLogInfo, "Couldn't queue command %.8lX! The queue is full.",
               static_cast<unsigned long>(code));
    return false;
  }
  for (const QueuedCommand& entry : g_queue) {
    if (entry.code == code) return true;
  }
  Append(code, text, actor, delay);
  return true;
}

unsigned KickDelay() {
  return Opts().kickDelay ? kKickDelaySeconds : 0;
}

bool ParseJobNumber(const std::string& text, long long min, long long max, long long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

void SetJobRunner(JobRunner runner) {
  g_runner = runner;
}

// Due jobs run strictly in queueing order, so that clients see events in the
// order the work was queued (a crash before the restart). Only the jobs waiting
// when the call began are considered: a job queued by a running job waits for
// the next call, which keeps one call bounded.
void RunDueJobs() {
  const std::time_t now = MonotonicNow();
  std::size_t waiting = 0;
  while (waiting < kQueueCapacity && g_queue[waiting].code != 0) ++waiting;
  std::size_t k = 0;
  for (; waiting > 0; --waiting) {
    if (g_queue[k].due > now) {
      ++k;
      continue;
    }
    const QueuedCommand job = TakeEntry(k);
    if (g_runner != nullptr) g_runner(job);
  }
}

}  // namespace keldor
