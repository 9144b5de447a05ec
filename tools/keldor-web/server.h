// keldor-web's HTTP and WebSocket side: serves the page, logs browsers in
// (each browser session gets its own connection to Keldor, under the account
// it gave), and carries commands and Keldor's messages over the page's
// WebSocket. Everything here runs on the one thread of the io_context.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fleet_cache.h"
#include "history.h"
#include "keldor_link.h"
#include "security.h"

namespace keldorweb {

struct Config {
  std::string listenAddress = "127.0.0.1";
  int listenPort = 15680;
  std::string keldorHost = "127.0.0.1";
  int keldorPort = 15667;
  std::chrono::seconds idle{900};
  std::chrono::seconds grace{20};
  int keldorTimeout = 15;  // seconds for each answer from Keldor
  std::vector<std::string> allowHosts;
  std::string fleet;  // the fleet database's connection string; empty: no fleet page
  std::vector<std::string> fleetHosts;
};

class HttpConn;
class WsConn;
using Request = boost::beast::http::request<boost::beast::http::string_body>;

struct WebSession {
  std::string id;
  std::string user;
  std::string peer;
  SessionTimer timer;
  std::unique_ptr<KeldorLink> link;
  std::weak_ptr<WsConn> socket;
  std::deque<std::string> backlog;  // for the page while it has no socket
  bool loggedIn = false;
  std::function<void(const nlohmann::json& answer)> onLogin;  // Keldor's "login" message
  std::uint32_t rights = 0;  // the account's, from the login; the page marks them
  std::string address{};     // the browser's, for the login brake
  // A switch to another Keldor of the fleet: the link that logs in there
  // replaces `link` once it has. Messages of a link that is neither are dropped.
  std::unique_ptr<KeldorLink> pending{};
  int generation = 0, pendingGeneration = -1;
  nlohmann::json pendingId{};              // the page's command that asked for the switch
  std::optional<TimePoint> historySent{};  // the last answer to "history"
  std::uint32_t serial = 0;                // tells sessions apart in the history, without their id
};

class Server {
 public:
  Server(
      boost::asio::io_context& io, Config config,
      std::function<TimePoint()> now = [] { return Clock::now(); });
  ~Server();
  bool Listen(std::string* error);
  int Port() const { return port_; }
  void Shutdown();

  // For the connections.
  void Handle(const std::shared_ptr<HttpConn>& conn, Request&& request);
  void OnSocketMessage(const std::shared_ptr<WebSession>& session, const std::string& text);
  void OnSocketClosed(const std::shared_ptr<WebSession>& session);
  // Shared with the connections, which may outlive the server at shutdown.
  const std::shared_ptr<ConnectionCounts>& Connections() const { return connections_; }

 private:
  void Accept();
  void Tick();
  void Login(const std::shared_ptr<HttpConn>& conn, Request& request);
  // Answers a login Keldor refused; the brake may hold the answer a while.
  void LoginRefused(const std::shared_ptr<HttpConn>& conn, const std::string& user, TimePoint start,
                    const nlohmann::json& answer, const Request& shape);
  void Logout(const std::shared_ptr<HttpConn>& conn, const Request& request);
  void Upgrade(const std::shared_ptr<HttpConn>& conn, Request&& request);
  std::unique_ptr<KeldorLink> MakeLink(const std::shared_ptr<WebSession>& session,
                                       const std::string& host, int port, int generation);
  void OnLink(const std::shared_ptr<WebSession>& session, int generation, const std::string& type,
              const std::string& json);
  // The page's fleet commands, which keldor-web answers itself.
  bool FleetCommand(const std::shared_ptr<WebSession>& session, const nlohmann::json& command);
  void OpenConsole(const std::shared_ptr<WebSession>& session, const nlohmann::json& command);
  // What a session's current link brings that the history keeps; the
  // "history" command, answered from it.
  void Remember(const WebSession& session, const std::string& type, const std::string& json);
  bool HistoryCommand(const std::shared_ptr<WebSession>& session, const nlohmann::json& command);
  void Switched(const std::shared_ptr<WebSession>& session, const nlohmann::json& answer);
  void SendToPage(WebSession& session, std::string json);
  void EndSession(const std::string& id, const char* reason, const std::string& json);
  std::shared_ptr<WebSession> SessionOf(const Request& request);

  boost::asio::io_context& io_;
  Config config_;
  std::function<TimePoint()> now_;
  HostCheck hosts_;
  FleetHosts fleetHosts_;
  std::unique_ptr<FleetCache> fleet_;
  History history_;
  std::uint32_t sessionSerials_ = 0;
  int generations_ = 0;  // of the links sessions switch to; a session's first is 0
  LoginTokens tokens_;
  LoginBrake brake_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer ticker_;
  std::map<std::string, std::shared_ptr<WebSession>> sessions_;
  std::shared_ptr<ConnectionCounts> connections_ = std::make_shared<ConnectionCounts>();
  int port_ = 0;
  bool stopping_ = false;
};

// One line on stderr behind "keldor-web: ". Never given credentials.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace keldorweb
