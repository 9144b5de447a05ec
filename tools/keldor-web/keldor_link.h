// One browser session's connection to Keldor, on a thread of its own.
//
// Keldor's protocol is a conversation: what an answer looks like depends on
// the request in flight, and a refusal is recognised only by the pong of the
// ping sent behind the request. The client library holds that conversation
// with blocking reads, so each session gets a thread that owns its
// connection, takes the page's commands from a queue one at a time and waits
// for Keldor in between. A slow or silent Keldor then holds up only its own
// session, never the web server's loop or the other sessions.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "connection.h"
#include "core/owned.h"

namespace keldorweb {

class KeldorLink {
 public:
  // Called on the link's thread with a message for the page: its type
  // ("login", "reply", "note", "dropped"; "status" for the reply to a status
  // that went well) and the JSON text.
  using Deliver = std::function<void(const std::string& type, std::string json)>;

  KeldorLink(std::string host, int port, int timeoutSeconds, Deliver deliver);
  ~KeldorLink();  // ends the connection and waits for the thread
  KeldorLink(const KeldorLink&) = delete;
  KeldorLink& operator=(const KeldorLink&) = delete;

  // The first command must be the login; the thread answers with "login".
  void LogIn(std::string user, std::string password);
  // A command from the page; answered with "reply" carrying its id. False
  // (and not queued) while kMaxQueued commands are waiting already.
  bool Submit(nlohmann::json command);
  static constexpr std::size_t kMaxQueued = 64;
  // "host:port" of the Keldor this link goes to.
  std::string Endpoint() const;

 private:
  void Run();
  bool DoLogin();
  // Carries out one command; false when the connection is gone.
  bool Execute(const nlohmann::json& command);
  void Wake();

  std::string host_;
  int port_;
  Deliver deliver_;
  keldorclient::Connection connection_;
  std::mutex mutex_;
  std::deque<nlohmann::json> queue_;
  std::string user_, password_;
  keldor::OwnedFd wakeFd_;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

// The JSON text of a message; bytes that are not UTF-8 become U+FFFD.
std::string Dump(const nlohmann::json& message);

}  // namespace keldorweb
