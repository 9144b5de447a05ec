// Webhook delivery: see alerts.h. Each target has its own queue, sent in
// order, one request at a time, through one libcurl multi handle served from
// the main loop; a target that fails waits longer each time (alert_policy.h)
// while the others go on.
#include "alerts/alerts.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <vector>

#include "alerts/alert_payloads.h"
#include "alerts/alert_policy.h"
#include "alerts/alert_targets.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/owned.h"
#include "core/state_table.h"
#include "runtime/options.h"
#include "settings/settings.h"

namespace keldor {

namespace {

// Messages waiting for one target; past it the oldest is dropped.
constexpr std::size_t kAlertQueueMax = 100;
constexpr long kAttemptTimeoutMs = 10000;
constexpr long kConnectTimeoutMs = 5000;
// A response body is read and thrown away up to this much; past it the transfer ends.
constexpr std::size_t kResponseMax = 64 * 1024;
// How long the loop may sleep while libcurl works without a socket to watch.
constexpr long long kBlindWaitMs = 100;

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// One request under way. Held by pointer: libcurl keeps its address.
struct Attempt {
  std::unique_ptr<curl_slist, ListDeleter> headers;
  std::unique_ptr<CURL, EasyDeleter> easy;  // after the headers: ends first
  std::size_t received = 0;
};

struct TargetSlot {
  AlertTarget config;
  std::deque<AlertPayload> queue;  // the front is the one under way, if any
  int attempts = 0;                // of the front message
  AlertRateState rate;
  std::unique_ptr<Attempt> attempt;
  long long dueMs = 0;   // monotonic: the next attempt not before
  long long waitMs = 0;  // the last wait after a failure; 0 while delivering
  bool failing = false;  // logged as failing, not yet as delivering again
};

struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  long long mtimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};

struct AlertsState {
  std::unique_ptr<CURLM, MultiDeleter> multi;  // first: ends after every attempt
  std::vector<TargetSlot> targets;
  bool fileSeen = false;  // a file was there at the last look
  FileStamp stamp;
  bool blind = false;  // libcurl works without a socket to watch
  AlertTally tally;
};

void CloseAlerts(AlertsState& state) {
  state.targets.clear();  // the attempts leave the multi handle before it goes
  state = AlertsState{};
}

StateTable<AlertsState> g_alerts(CloseAlerts);

// Requests under way, one at most per target.
int Running() {
  return static_cast<int>(std::count_if(g_alerts->targets.begin(), g_alerts->targets.end(),
                                        [](const TargetSlot& t) { return t.attempt != nullptr; }));
}

std::string AlertsPath() {
  return Opts().settingsDir + "/" + kAlertsFileName;
}

// libcurl is set up once per process; its name resolution must not wait in the loop.
bool CurlReady() {
  static const bool ready = [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (info == nullptr || (info->features & CURL_VERSION_ASYNCHDNS) == 0) {
      LogMessage(kLogInfo,
                 "This libcurl resolves names while it waits: give alert targets by address, "
                 "or a slow name server holds up Keldor.");
    }
    return true;
  }();
  return ready;
}

CURLM* Multi() {
  AlertsState& s = *g_alerts;
  if (!s.multi && CurlReady()) s.multi.reset(curl_multi_init());
  return s.multi.get();
}

// ---- The file ---------------------------------------------------------------

FileStamp StampOf(const struct stat& st) {
  return {st.st_dev, st.st_ino, st.st_size,
          static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

// The whole file, read without following a link and only when it is a
// regular file within the size limit; false with the reason logged.
bool ReadAlertsFile(const std::string& path, std::string* text) {
  const OwnedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
    LogMessage(kLogInfo, "Couldn't read %s! %s", path.c_str(), ErrorText(errno));
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kAlertsFileMax)) {
    LogMessage(kLogInfo, "Couldn't read %s! It is no regular file of at most %zu bytes.",
               path.c_str(), kAlertsFileMax);
    return false;
  }
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(fd.get(), chunk, sizeof chunk);
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || text->size() + static_cast<std::size_t>(n) > kAlertsFileMax) {
      LogMessage(kLogInfo, "Couldn't read %s! %s", path.c_str(),
                 n < 0 ? ErrorText(errno) : "It grew while it was read.");
      return false;
    }
    text->append(chunk, static_cast<std::size_t>(n));
  }
}

// The new targets take the place of the old: a target of the same name keeps
// its queue, its rate limit and the request it has under way.
void ApplyTargets(std::vector<AlertTarget> targets) {
  AlertsState& s = *g_alerts;
  std::vector<TargetSlot> slots;
  slots.reserve(targets.size());
  for (AlertTarget& target : targets) {
    auto old = std::find_if(s.targets.begin(), s.targets.end(),
                            [&](const TargetSlot& t) { return t.config.name == target.name; });
    if (old != s.targets.end()) {
      slots.push_back(std::move(*old));
      s.targets.erase(old);
      // Messages built for another format would not be understood.
      if (slots.back().config.format != target.format && !slots.back().attempt) {
        s.tally.dropped += slots.back().queue.size();
        slots.back().queue.clear();
        slots.back().attempts = 0;
      }
    } else {
      slots.emplace_back();
    }
    slots.back().config = std::move(target);
  }
  for (const TargetSlot& gone : s.targets) s.tally.dropped += gone.queue.size();
  s.targets = std::move(slots);
}

std::string TargetList() {
  std::string list;
  for (const TargetSlot& t : g_alerts->targets) {
    if (!list.empty()) list += ", ";
    list += t.config.name + " (" + AlertFormatName(t.config.format) + ")";
  }
  return list;
}

// ---- Queueing ---------------------------------------------------------------

void Enqueue(TargetSlot& slot, const AlertReport& report) {
  AlertsState& s = *g_alerts;
  const long long now = MonotonicMilliseconds();
  const std::time_t wall = Now();
  const AlertAdmission admitted = AdmitAlert(slot.rate, report.kind, now, wall);
  if (!admitted.send) {
    ++s.tally.dropped;
    return;
  }
  const AlertContext context{Row(Setting::ServerName).text, wall, admitted.more, admitted.since};
  if (slot.queue.size() >= kAlertQueueMax) {
    // The oldest that is not under way.
    slot.queue.erase(slot.queue.begin() + (slot.attempt ? 1 : 0));
    if (!slot.attempt) slot.attempts = 0;
    ++s.tally.dropped;
  }
  slot.queue.push_back(BuildAlertPayload(slot.config.format, report, context));
}

// ---- Delivery ---------------------------------------------------------------

std::size_t Discard(char*, std::size_t size, std::size_t count, void* user) {
  auto* attempt = static_cast<Attempt*>(user);
  attempt->received += size * count;
  return attempt->received > kResponseMax ? 0 : size * count;
}

bool AddHeader(Attempt& attempt, const std::string& header) {
  curl_slist* list = curl_slist_append(attempt.headers.get(), header.c_str());
  if (list == nullptr) return false;
  attempt.headers.release();
  attempt.headers.reset(list);
  return true;
}

// The request for the front message; false when libcurl could not take it.
bool StartAttempt(TargetSlot& slot) {
  CURLM* multi = Multi();
  if (multi == nullptr) return false;
  auto attempt = std::make_unique<Attempt>();
  attempt->easy.reset(curl_easy_init());
  CURL* easy = attempt->easy.get();
  if (easy == nullptr) return false;
  const AlertPayload& payload = slot.queue.front();
  // "Expect:" keeps libcurl from waiting on a 100 Continue before a larger body.
  const std::vector<std::string>* lists[] = {&payload.headers, &slot.config.headers};
  for (const std::vector<std::string>* list : lists) {
    for (const std::string& header : *list) {
      if (!AddHeader(*attempt, header)) return false;
    }
  }
  if (!AddHeader(*attempt, "Expect:")) return false;
  curl_easy_setopt(easy, CURLOPT_URL, slot.config.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kAttemptTimeoutMs);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kConnectTimeoutMs);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "Keldor/" KELDOR_VERSION);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.body.size()));
  curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, payload.body.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, attempt->headers.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, Discard);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, attempt.get());
  if (!slot.config.caFile.empty())
    curl_easy_setopt(easy, CURLOPT_CAINFO, slot.config.caFile.c_str());
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return false;
  slot.attempt = std::move(attempt);
  return true;
}

void StartDueAttempts() {
  const long long now = MonotonicMilliseconds();
  for (TargetSlot& slot : g_alerts->targets) {
    if (slot.attempt || slot.queue.empty() || now < slot.dueMs) continue;
    if (!StartAttempt(slot)) {
      // Out of memory in libcurl: the message waits as after a failure.
      slot.waitMs = NextRetryMs(slot.waitMs, -1);
      slot.dueMs = now + slot.waitMs;
    }
  }
}

void GiveUpFront(TargetSlot& slot) {
  slot.queue.pop_front();
  slot.attempts = 0;
  ++g_alerts->tally.dropped;
}

void Failed(TargetSlot& slot, AlertOutcome outcome, CURLcode code, long status, long retryAfter) {
  AlertsState& s = *g_alerts;
  const long long now = MonotonicMilliseconds();
  ++s.tally.failed;
  if (!slot.failing) {
    // Only libcurl's generic text or the status: its detailed message may name the address.
    char reason[96];
    if (status != 0) {
      std::snprintf(reason, sizeof reason, "HTTP status %ld%s", status,
                    outcome == AlertOutcome::kRefused ? "; the message is not sent again." : ".");
    } else {
      std::snprintf(reason, sizeof reason, "%s.", curl_easy_strerror(code));
    }
    LogMessage(kLogInfo, "Alert target %s is failing! %s", slot.config.name.c_str(), reason);
    slot.failing = true;
  }
  if (outcome == AlertOutcome::kRefused) {
    GiveUpFront(slot);
    slot.dueMs = now;
    return;
  }
  if (++slot.attempts >= kAlertAttemptsMax) GiveUpFront(slot);
  slot.waitMs = NextRetryMs(slot.waitMs, retryAfter);
  slot.dueMs = now + slot.waitMs;
}

void Finished(TargetSlot& slot, CURLcode code) {
  AlertsState& s = *g_alerts;
  CURL* easy = slot.attempt->easy.get();
  long status = 0;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  curl_off_t retryAfter = 0;
  curl_easy_getinfo(easy, CURLINFO_RETRY_AFTER, &retryAfter);
  curl_multi_remove_handle(s.multi.get(), easy);
  slot.attempt.reset();
  const AlertOutcome outcome = ClassifyAttempt(code, status);
  if (outcome != AlertOutcome::kDelivered) {
    const long wait = status == 429 && retryAfter > 0 ? static_cast<long>(retryAfter) : -1;
    return Failed(slot, outcome, code, status, wait);
  }
  ++s.tally.sent;
  slot.queue.pop_front();
  slot.attempts = 0;
  slot.waitMs = 0;
  slot.dueMs = 0;
  if (slot.failing) {
    LogMessage(kLogInfo, "Alert target %s delivers again.", slot.config.name.c_str());
    slot.failing = false;
  }
}

// Ends the transfers libcurl has finished; true when any did.
bool ReadResults() {
  AlertsState& s = *g_alerts;
  bool any = false;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(s.multi.get(), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    for (TargetSlot& slot : s.targets) {
      if (slot.attempt && slot.attempt->easy.get() == message->easy_handle) {
        Finished(slot, message->data.result);
        any = true;
        break;
      }
    }
  }
  return any;
}

std::size_t Undelivered() {
  std::size_t count = 0;
  for (const TargetSlot& slot : g_alerts->targets) count += slot.queue.size();
  return count;
}

}  // namespace

void LoadAlerts() {
  AlertsState& s = *g_alerts;
  const std::string path = AlertsPath();
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (s.fileSeen && !s.targets.empty()) {
      LogMessage(kLogInfo, "%s is gone: no alert targets.", path.c_str());
    }
    if (s.fileSeen) ApplyTargets({});
    s.fileSeen = false;
    return;
  }
  if (s.fileSeen && StampOf(st) == s.stamp) return;
  s.fileSeen = true;
  s.stamp = StampOf(st);
  mode_t narrowed = 0;
  if (NarrowFileMode(path, kSecretFileMode, &narrowed)) {
    LogMessage(kLogInfo, "Tightened the mode of %s to %04o: it holds webhook tokens.", path.c_str(),
               static_cast<unsigned>(narrowed));
  }
  std::string text;
  if (!ReadAlertsFile(path, &text)) {
    ApplyTargets({});
    return;
  }
  AlertsFile file = ParseAlertsFile(text, Opts().settingsDir);
  for (const AlertsFileProblem& problem : file.problems) {
    LogMessage(kLogInfo, "Skipped line %i of %s: %s.", problem.line, path.c_str(),
               problem.reason.c_str());
  }
  ApplyTargets(std::move(file.targets));
  if (s.targets.empty()) {
    LogMessage(kLogInfo, "No alert targets in %s.", path.c_str());
  } else {
    LogMessage(kLogInfo, "Alert targets: %s.", TargetList().c_str());
  }
}

void QueueAlert(const AlertReport& report) {
  for (TargetSlot& slot : g_alerts->targets) {
    const auto kind = static_cast<std::size_t>(report.kind);
    if (report.kind == AlertKind::kTest || (kind < kAlertKinds && slot.config.kinds.test(kind))) {
      Enqueue(slot, report);
    }
  }
}

int SendTestAlert(const std::string& account) {
  LoadAlerts();
  LogMessage(kLogInfo, "User %s asked for a test alert.", account.c_str());
  RaiseAlert({AlertKind::kTest, "Test alert from " + account + ".", {{"by", account}}});
  return static_cast<int>(g_alerts->targets.size());
}

void AddAlertSockets(fd_set& read, fd_set& write, int& top) {
  AlertsState& s = *g_alerts;
  s.blind = false;
  if (!s.multi || Running() == 0) return;
  fd_set except;
  FD_ZERO(&except);
  int highest = -1;
  if (curl_multi_fdset(s.multi.get(), &read, &write, &except, &highest) != CURLM_OK) return;
  if (highest < 0) {
    s.blind = true;
  } else {
    top = std::max(top, highest + 1);
  }
}

long long UntilAlertTimer(long long most) {
  AlertsState& s = *g_alerts;
  long long wait = most;
  const long long now = MonotonicMilliseconds();
  for (const TargetSlot& slot : s.targets) {
    if (!slot.attempt && !slot.queue.empty())
      wait = std::min(wait, std::max(0LL, slot.dueMs - now));
  }
  if (s.multi && Running() > 0) {
    long timeout = -1;
    if (curl_multi_timeout(s.multi.get(), &timeout) == CURLM_OK && timeout >= 0) {
      wait = std::min(wait, static_cast<long long>(timeout));
    }
    if (s.blind) wait = std::min(wait, kBlindWaitMs);
  }
  return wait;
}

void ServeAlerts() {
  AlertsState& s = *g_alerts;
  if (s.targets.empty()) return;
  // A finished request may let the next message of its target start at once.
  for (int round = 0; round < 2; ++round) {
    StartDueAttempts();
    if (Running() == 0) return;
    int running = 0;
    curl_multi_perform(s.multi.get(), &running);
    if (!ReadResults()) return;
  }
}

void StopAlerts() {
  if (const std::size_t left = Undelivered(); left > 0) {
    LogMessage(kLogInfo, "Gave up %zu alert message(s) not yet delivered.", left);
  }
  g_alerts.Reset();
}

AlertTally AlertCounts() {
  return g_alerts->tally;
}

std::vector<std::string> PendingAlertBodies(const std::string& target) {
  std::vector<std::string> bodies;
  for (const TargetSlot& slot : g_alerts->targets) {
    if (slot.config.name != target) continue;
    for (const AlertPayload& payload : slot.queue) bodies.push_back(payload.body);
  }
  return bodies;
}

long long AlertTargetDueIn(const std::string& target) {
  for (const TargetSlot& slot : g_alerts->targets) {
    if (slot.config.name == target) return slot.dueMs - MonotonicMilliseconds();
  }
  return 0;
}

}  // namespace keldor
