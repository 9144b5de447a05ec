// The fleet as the console's pages see it: a snapshot of the fleet database,
// read on a worker thread (the web server's loop never waits on the
// database) under a deadline, and kept a few seconds so that any number of
// pages refreshing cost one read.
#pragma once

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fleetview.h"

namespace keldorweb {

class FleetCache {
 public:
  static constexpr std::chrono::seconds kFresh{5};
  static constexpr int kTimeoutSeconds = 5;
  static constexpr std::size_t kMaxWaiting = 64;  // requests waiting for one read

  struct Snapshot {
    bool ok = false;
    std::string error;  // when not ok
    keldorfleet::Snapshot fleet;
    // The page's data as JSON text: everything, and the servers alone for
    // accounts that may not see bans.
    std::string all, serversOnly;
  };
  using Shared = std::shared_ptr<const Snapshot>;
  using Done = std::function<void(const Shared&)>;
  // Whether a session may open a server's console (see FleetHosts); the page
  // shows the button only where it may.
  using Openable = std::function<bool(const std::string& host, int port)>;

  FleetCache(boost::asio::io_context& io, std::string conninfo, Openable openable);
  ~FleetCache();  // waits for a read under way, at most its deadline
  FleetCache(const FleetCache&) = delete;
  FleetCache& operator=(const FleetCache&) = delete;

  // Calls `done` on the loop's thread with a snapshot at most kFresh old; a
  // read that fails gives a snapshot that is not ok. Null when too many wait.
  void Get(Done done);
  // The newest snapshot, null before the first.
  const Shared& Latest() const { return latest_; }

 private:
  void Read();
  void Finish(Shared snapshot);

  boost::asio::io_context& io_;
  std::string conninfo_;
  Openable openable_;
  Shared latest_;
  std::chrono::steady_clock::time_point takenAt_{};
  std::vector<Done> waiting_;
  std::thread worker_;
  bool reading_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace keldorweb
