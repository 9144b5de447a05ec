// One read at a time on its own thread; the requests that arrive meanwhile
// wait for it, and its result is posted back to the loop.
#include "fleet_cache.h"

#include <boost/asio/post.hpp>

namespace keldorweb {

FleetCache::FleetCache(boost::asio::io_context& io, std::string conninfo, Openable openable)
    : io_(io), conninfo_(std::move(conninfo)), openable_(std::move(openable)) {}

FleetCache::~FleetCache() {
  alive_.reset();
  if (worker_.joinable()) worker_.join();
}

void FleetCache::Get(Done done) {
  if (latest_ != nullptr && std::chrono::steady_clock::now() - takenAt_ < kFresh) {
    return done(latest_);
  }
  if (waiting_.size() >= kMaxWaiting) return done(nullptr);
  waiting_.push_back(std::move(done));
  if (!reading_) Read();
}

void FleetCache::Read() {
  reading_ = true;
  // The last read has posted its result, so its thread has ended or is ending.
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, alive = std::weak_ptr<bool>(alive_)] {
    auto snapshot = std::make_shared<Snapshot>();
    keldorfleet::ReadOptions options;
    options.timeoutSeconds = kTimeoutSeconds;
    options.application = "keldor-web";
    snapshot->ok = keldorfleet::ReadFleet(conninfo_, options, &snapshot->fleet, &snapshot->error);
    if (snapshot->ok) {
      nlohmann::ordered_json data = keldorfleet::FleetJson(snapshot->fleet);
      for (auto& server : data["servers"]) {
        server["openable"] =
            openable_(server["host"].get<std::string>(), server["port"].get<int>());
      }
      const auto text = [&] {
        return data.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
      };
      snapshot->all = text();
      data.erase("bans");
      data.erase("actions");
      snapshot->serversOnly = text();
    }
    boost::asio::post(io_, [this, alive, snapshot = Shared(std::move(snapshot))] {
      if (alive.lock()) Finish(snapshot);
    });
  });
}

void FleetCache::Finish(Shared snapshot) {
  reading_ = false;
  latest_ = std::move(snapshot);
  takenAt_ = std::chrono::steady_clock::now();
  std::vector<Done> waiting;
  waiting.swap(waiting_);
  for (Done& done : waiting) done(latest_);
}

}  // namespace keldorweb
