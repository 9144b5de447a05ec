// The web server: one acceptor, HTTP connections that serve the page and
// the login, and the page's WebSocket. The session cookie is HttpOnly,
// SameSite=Strict and without expiry, so it ends with the browser; the server
// ends a session itself after inactivity and when its page has gone.
#include "server.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "assets.h"
#include "fleetview.h"
#include "rights_help.h"
#include "wire/protocol.h"
#include "wire/rights.h"

namespace keldorweb {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using nlohmann::json;

void Log(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::fputs("keldor-web: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

namespace {

constexpr auto kWriteTimeout = std::chrono::seconds(30);
constexpr const char* kTokenMark = "{{LOGIN_TOKEN}}";
constexpr const char* kRightsMark = "{{RIGHTS_TABLE}}";
// A history answer carries up to a day of samples: a page gets one this often
// at most, and none while this much sent to it is still waiting to go.
constexpr auto kHistoryInterval = std::chrono::seconds(1);
constexpr std::size_t kHistoryBacklog = 8;

std::string_view Field(const Request& req, http::field name) {
  const auto value = req[name];
  return {value.data(), value.size()};
}

// What every answer carries: no framing by other sites, no guessing of
// types, nothing from elsewhere, nothing cached.
void Harden(http::response<http::string_body>& res) {
  res.set("Content-Security-Policy",
          "default-src 'self'; connect-src 'self'; img-src 'self' data:; object-src 'none'; "
          "base-uri 'none'; form-action 'self'; frame-ancestors 'none'");
  res.set(http::field::x_frame_options, "DENY");
  res.set("X-Content-Type-Options", "nosniff");
  res.set("Referrer-Policy", "no-referrer");
  res.set(http::field::cache_control, "no-store");
}

http::response<http::string_body> Answer(const Request& req, http::status status,
                                         std::string_view type, std::string body) {
  http::response<http::string_body> res{status, req.version()};
  res.set(http::field::content_type, beast::string_view(type.data(), type.size()));
  res.keep_alive(req.keep_alive());
  res.body() = std::move(body);
  res.prepare_payload();
  Harden(res);
  return res;
}

http::response<http::string_body> JsonAnswer(const Request& req, http::status status,
                                             const json& body) {
  return Answer(req, status, "application/json", Dump(body));
}

http::response<http::string_body> Refusal(const Request& req, http::status status,
                                          const std::string& message) {
  return JsonAnswer(req, status, {{"ok", false}, {"message", message}});
}

std::string SessionCookie(const std::string& value, bool end = false) {
  return std::string(kCookieName) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict" +
         (end ? "; Max-Age=0" : "");
}

// The id of a page's command, echoed in its reply; 0 when it has none.
json CommandId(const json& command) {
  const auto id = command.find("id");
  return id != command.end() && id->is_number_integer() ? *id : json(0);
}

// Counts a connection, in all and for its client's address, for as long as it lives.
class Ticket {
 public:
  Ticket(std::shared_ptr<ConnectionCounts> counts, std::string address)
      : counts_(std::move(counts)), address_(std::move(address)) {
    counts_->Add(address_);
  }
  ~Ticket() { counts_->Remove(address_); }
  Ticket(const Ticket&) = delete;
  Ticket& operator=(const Ticket&) = delete;
  const std::string& Address() const { return address_; }

 private:
  std::shared_ptr<ConnectionCounts> counts_;
  std::string address_;
};

}  // namespace

// ---- Connections -------------------------------------------------------------

class HttpConn : public std::enable_shared_from_this<HttpConn> {
 public:
  HttpConn(tcp::socket socket, Server& server, std::string address)
      : stream_(std::move(socket)), server_(server), ticket_(server.Connections(), address) {
    beast::error_code ignored;
    const auto remote = stream_.socket().remote_endpoint(ignored);
    peer_ = ignored ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
  }
  void Read() {
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(kMaxLoginBody);
    // A slow sender holds a place only this long; what follows the request is not limited by it.
    stream_.expires_after(kRequestDeadline);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRead(ec); });
  }
  void Reply(http::response<http::string_body> res) {
    auto shared = std::make_shared<http::response<http::string_body>>(std::move(res));
    stream_.expires_after(kWriteTimeout);
    http::async_write(stream_, *shared,
                      [self = shared_from_this(), shared](beast::error_code ec, std::size_t) {
                        if (ec || !shared->keep_alive()) return self->Close();
                        self->Read();
                      });
  }
  tcp::socket Release() {
    stream_.expires_never();
    return stream_.release_socket();
  }
  const std::string& Peer() const { return peer_; }
  const std::string& Address() const { return ticket_.Address(); }

 private:
  void OnRead(beast::error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::body_limit) {
      Request req;
      req.version(11);
      auto res = Refusal(req, http::status::payload_too_large, "The request is too large.");
      res.keep_alive(false);
      return Reply(std::move(res));
    }
    if (ec) return Close();
    server_.Handle(shared_from_this(), parser_->release());
  }
  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Server& server_;
  Ticket ticket_;
  std::string peer_;
};

class WsConn : public std::enable_shared_from_this<WsConn> {
 public:
  WsConn(tcp::socket socket, Server& server, std::shared_ptr<WebSession> session,
         std::string address)
      : ws_(std::move(socket)),
        server_(server),
        session_(session),
        ticket_(server.Connections(), std::move(address)) {}
  ~WsConn() { Detach(); }

  void Accept(Request&& req) {
    ws_.read_message_max(kMaxSocketMessage);
    ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    ws_.async_accept(req, [self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      self->open_ = true;
      self->Write();
      self->Read();
    });
  }
  // Queued; a page that takes no more is cut off rather than let the queue grow.
  void Send(std::string text) {
    if (closing_) return;
    if (out_.size() >= kMaxPendingMessages) return Close();
    out_.push_back(std::move(text));
    Write();
  }
  std::size_t Queued() const { return out_.size(); }
  // After what is queued has gone.
  void Close() {
    if (closing_) return;
    closing_ = true;
    Detach();
    Write();
  }

 private:
  void Detach() {
    if (auto session = session_.lock()) server_.OnSocketClosed(session);
    session_.reset();
  }
  void Read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return;
      const std::string text = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      if (auto session = self->session_.lock()) self->server_.OnSocketMessage(session, text);
      self->Read();
    });
  }
  void Write() {
    if (!open_ || writing_) return;
    if (out_.empty()) {
      if (closing_ && !closed_) {
        closed_ = true;
        ws_.async_close(websocket::close_code::normal,
                        [self = shared_from_this()](beast::error_code) {});
      }
      return;
    }
    writing_ = true;
    ws_.text(true);
    ws_.async_write(asio::buffer(out_.front()),
                    [self = shared_from_this()](beast::error_code ec, std::size_t) {
                      self->writing_ = false;
                      self->out_.pop_front();
                      if (ec) {
                        self->out_.clear();
                        return;
                      }
                      self->Write();
                    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  Server& server_;
  std::weak_ptr<WebSession> session_;
  Ticket ticket_;
  std::deque<std::string> out_;
  bool open_ = false, writing_ = false, closing_ = false, closed_ = false;
};

// ---- The server ----------------------------------------------------------------

Server::Server(asio::io_context& io, Config config, std::function<TimePoint()> now)
    : io_(io),
      config_(std::move(config)),
      now_(std::move(now)),
      fleetHosts_(config_.keldorHost, config_.keldorPort, config_.fleetHosts),
      acceptor_(io),
      ticker_(io) {
  if (config_.fleet.empty()) return;
  // Asked on the cache's thread: fleetHosts_ does not change after this.
  fleet_ = std::make_unique<FleetCache>(
      io_, config_.fleet,
      [this](const std::string& host, int port) { return fleetHosts_.Allowed(host, port); });
}

Server::~Server() {
  Shutdown();
}

bool Server::Listen(std::string* error) {
  beast::error_code ec;
  const auto address = asio::ip::make_address(config_.listenAddress, ec);
  if (ec) {
    *error = "not an IP address: " + config_.listenAddress;
    return false;
  }
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(config_.listenPort));
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "couldn't listen on " + config_.listenAddress + ":" +
             std::to_string(config_.listenPort) + ": " + ec.message();
    return false;
  }
  port_ = acceptor_.local_endpoint().port();
  hosts_ = HostCheck(config_.listenAddress, port_, config_.allowHosts);
  Accept();
  Tick();
  return true;
}

void Server::Shutdown() {
  if (stopping_) return;
  stopping_ = true;
  beast::error_code ignored;
  acceptor_.close(ignored);
  ticker_.cancel();
  while (!sessions_.empty()) {
    EndSession(sessions_.begin()->first, "shutdown",
               Dump({{"type", "ended"}, {"message", "The web console is shutting down."}}));
  }
}

void Server::Accept() {
  acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (stopping_ || ec == asio::error::operation_aborted) return;
    beast::error_code unknown;
    const auto remote = ec ? tcp::endpoint() : socket.remote_endpoint(unknown);
    const std::string address = remote.address().to_string();
    // Past a cap the connection is closed unanswered: an answer would cost
    // what the cap saves.
    if (!ec && !unknown && connections_->Room(address)) {
      std::make_shared<HttpConn>(std::move(socket), *this, address)->Read();
    }
    Accept();
  });
}

void Server::Tick() {
  const TimePoint now = now_();
  std::vector<std::pair<std::string, const char*>> over;
  for (const auto& [id, session] : sessions_) {
    if (!session->loggedIn) continue;
    if (const char* why = session->timer.Expired(now)) over.emplace_back(id, why);
  }
  for (const auto& [id, why] : over) {
    const bool idle = std::string_view(why) == "idle";
    EndSession(id, why,
               Dump({{"type", "ended"},
                     {"message", idle ? "The session ended after a time without activity."
                                      : "The session ended."}}));
  }
  ticker_.expires_after(std::chrono::seconds(1));
  ticker_.async_wait([this](beast::error_code ec) {
    if (!ec && !stopping_) Tick();
  });
}

std::shared_ptr<WebSession> Server::SessionOf(const Request& req) {
  const std::string id = CookieValue(Field(req, http::field::cookie), kCookieName);
  const auto found = sessions_.find(id);
  if (id.empty() || found == sessions_.end() || !found->second->loggedIn) return nullptr;
  return found->second;
}

void Server::Handle(const std::shared_ptr<HttpConn>& conn, Request&& req) {
  // A Host other than ours is a rebinding of some other name onto this address.
  if (!hosts_.HostAllowed(Field(req, http::field::host))) {
    return conn->Reply(Refusal(req, http::status::misdirected_request, "Unknown host."));
  }
  const std::string target(req.target());
  if (websocket::is_upgrade(req)) {
    if (target != "/ws") return conn->Reply(Refusal(req, http::status::not_found, "Not found."));
    return Upgrade(conn, std::move(req));
  }
  if (req.method() == http::verb::post) {
    // Another site's page may post here; only our own pages pass the Origin check.
    if (!hosts_.OriginAllowed(Field(req, http::field::origin))) {
      return conn->Reply(Refusal(req, http::status::forbidden, "Foreign origin."));
    }
    if (target == "/api/login") return Login(conn, req);
    if (target == "/api/logout") return Logout(conn, req);
    return conn->Reply(Refusal(req, http::status::not_found, "Not found."));
  }
  if (req.method() != http::verb::get && req.method() != http::verb::head) {
    return conn->Reply(Refusal(req, http::status::method_not_allowed, "Method not allowed."));
  }
  const Asset* asset = FindAsset(target == "/" ? "/index.html" : target);
  if (asset == nullptr) return conn->Reply(Refusal(req, http::status::not_found, "Not found."));
  std::string body(asset->body);
  if (asset->path == "/index.html") {
    const std::size_t mark = body.find(kTokenMark);
    if (mark != std::string::npos) {
      body.replace(mark, std::string_view(kTokenMark).size(), tokens_.Issue(now_()));
    }
    if (const std::size_t at = body.find(kRightsMark); at != std::string::npos) {
      body.replace(at, std::string_view(kRightsMark).size(), RightsHelpHtml());
    }
  }
  auto res = Answer(req, http::status::ok, asset->type, std::move(body));
  if (req.method() == http::verb::head) res.body().clear();
  conn->Reply(std::move(res));
}

void Server::Login(const std::shared_ptr<HttpConn>& conn, Request& req) {
  // A JSON body cannot come from a plain form of another site.
  if (!Field(req, http::field::content_type).starts_with("application/json")) {
    return conn->Reply(Refusal(req, http::status::unsupported_media_type, "JSON expected."));
  }
  const json body = json::parse(req.body(), nullptr, false);
  auto text = [&](const char* key) {
    const auto found = body.is_object() ? body.find(key) : body.end();
    return body.is_object() && found != body.end() && found->is_string() ? found->get<std::string>()
                                                                         : std::string();
  };
  const std::string user = text("user"), password = text("password"), token = text("token");
  auto refuse = [&](http::status status, const std::string& message,
                    std::chrono::seconds retryAfter = {}) {
    // A fresh token for the next try from the same page.
    auto res = JsonAnswer(req, status,
                          {{"ok", false}, {"message", message}, {"token", tokens_.Issue(now_())}});
    if (retryAfter.count() > 0) {
      res.set(http::field::retry_after, std::to_string(retryAfter.count()));
    }
    conn->Reply(std::move(res));
  };
  if (!tokens_.Consume(token, now_())) {
    return refuse(http::status::forbidden, "The page is out of date: reload it and log in again.");
  }
  if (user.empty() || user.size() > kMaxCredential || password.size() > kMaxCredential) {
    return refuse(http::status::unauthorized, "Wrong user name or password.");
  }
  if (sessions_.size() >= kMaxSessions) {
    return refuse(http::status::service_unavailable, "Too many sessions are open.");
  }
  switch (brake_.Begin(conn->Address(), now_())) {
    case LoginBrake::Verdict::kGo:
      break;
    case LoginBrake::Verdict::kLocked: {
      const auto left = brake_.LockedFor(conn->Address(), now_());
      return refuse(http::status::too_many_requests, LockoutText(left), left);
    }
    case LoginBrake::Verdict::kBusy:
      return refuse(http::status::too_many_requests,
                    "Another login from this address is under way; try again in a moment.",
                    std::chrono::seconds(1));
  }
  auto session =
      std::make_shared<WebSession>(WebSession{RandomToken(),
                                              user,
                                              conn->Peer(),
                                              SessionTimer(config_.idle, config_.grace, now_()),
                                              nullptr,
                                              {},
                                              {},
                                              false,
                                              nullptr});
  session->address = conn->Address();
  session->serial = ++sessionSerials_;
  sessions_[session->id] = session;
  session->link = MakeLink(session, config_.keldorHost, config_.keldorPort, 0);
  Request shape;
  shape.version(req.version());
  shape.keep_alive(req.keep_alive());
  session->onLogin = [this, conn, id = session->id, user, start = now_(),
                      shape](const json& answer) {
    if (!answer.value("ok", false)) return LoginRefused(conn, user, start, answer, shape);
    brake_.End(conn->Address(), false, now_());
    Log("%s logged in from %s", user.c_str(), conn->Peer().c_str());
    // The page may log in again after a logout, without a reload.
    auto res = JsonAnswer(shape, http::status::ok,
                          {{"ok", true}, {"user", user}, {"token", tokens_.Issue(now_())}});
    res.set(http::field::set_cookie, SessionCookie(id));
    conn->Reply(std::move(res));
  };
  session->link->LogIn(user, password);
}

void Server::LoginRefused(const std::shared_ptr<HttpConn>& conn, const std::string& user,
                          TimePoint start, const json& answer, const Request& shape) {
  const std::string& address = conn->Address();
  const std::string message = answer.value("message", "");
  Log("login of %s from %s refused: %s", user.c_str(), conn->Peer().c_str(), message.c_str());
  const bool wasLocked = brake_.LockedFor(address, now_()).count() > 0;
  const auto hold = brake_.End(address, answer.value("guess", false), now_());
  if (!wasLocked && brake_.LockedFor(address, now_()).count() > 0) {
    Log("%d failed logins from %s: its logins are refused for %d minutes",
        LoginBrake::kFailuresBeforeLockout, address.c_str(),
        static_cast<int>(LoginBrake::kLockout.count()));
  }
  // Keldor's own lock-out is a refusal to come back later, like ours.
  const auto status =
      answer.value("locked", false) ? http::status::too_many_requests : http::status::unauthorized;
  auto res = JsonAnswer(shape, status,
                        {{"ok", false}, {"message", message}, {"token", tokens_.Issue(now_())}});
  const auto wait = start + hold - now_();
  if (wait <= Clock::duration::zero()) return conn->Reply(std::move(res));
  // Held without holding anything else up.
  auto timer = std::make_shared<asio::steady_timer>(io_, wait);
  timer->async_wait([timer, conn, res = std::move(res)](beast::error_code) mutable {
    conn->Reply(std::move(res));
  });
}

void Server::Logout(const std::shared_ptr<HttpConn>& conn, const Request& req) {
  if (auto session = SessionOf(req)) {
    EndSession(session->id, "logout",
               Dump({{"type", "ended"}, {"message", "You have logged out."}}));
  }
  auto res = JsonAnswer(req, http::status::ok, {{"ok", true}});
  res.set(http::field::set_cookie, SessionCookie("", true));
  conn->Reply(std::move(res));
}

void Server::Upgrade(const std::shared_ptr<HttpConn>& conn, Request&& req) {
  if (!hosts_.OriginAllowed(Field(req, http::field::origin))) {
    return conn->Reply(Refusal(req, http::status::forbidden, "Foreign origin."));
  }
  auto session = SessionOf(req);
  if (!session) return conn->Reply(Refusal(req, http::status::forbidden, "Not logged in."));
  // One page per session: a newer one takes over.
  if (auto old = session->socket.lock()) old->Close();
  auto ws = std::make_shared<WsConn>(conn->Release(), *this, session, conn->Address());
  session->socket = ws;
  session->timer.SocketOpened();
  session->timer.Touch(now_());
  ws->Send(Dump({{"type", "hello"},
                 {"user", session->user},
                 {"rights", session->rights},
                 {"refused", RefusedActions(session->rights)},
                 {"fleet", fleet_ != nullptr},
                 {"keldor", session->link->Endpoint()}}));
  for (std::string& json : session->backlog) ws->Send(std::move(json));
  session->backlog.clear();
  ws->Accept(std::move(req));
}

void Server::OnSocketMessage(const std::shared_ptr<WebSession>& session, const std::string& text) {
  json command = json::parse(text, nullptr, false);
  if (!command.is_object()) return;
  // The page refreshes its lists by itself: that is no sign of a person there.
  const auto automatic = command.find("auto");
  if (automatic == command.end() || *automatic != true) session->timer.Touch(now_());
  const auto id = command.find("id");
  const json busy = {{"type", "reply"},
                     {"id", id != command.end() && id->is_number_integer() ? *id : json(0)},
                     {"ok", false},
                     {"message", "Too many requests are waiting for Keldor."}};
  if (FleetCommand(session, command) || HistoryCommand(session, command)) return;
  if (!session->link->Submit(std::move(command))) SendToPage(*session, Dump(busy));
}

void Server::OnSocketClosed(const std::shared_ptr<WebSession>& session) {
  session->timer.SocketClosed(now_());
}

void Server::SendToPage(WebSession& session, std::string json) {
  if (auto ws = session.socket.lock()) return ws->Send(std::move(json));
  if (session.backlog.size() >= kMaxPendingMessages) session.backlog.pop_front();
  session.backlog.push_back(std::move(json));
}

std::unique_ptr<KeldorLink> Server::MakeLink(const std::shared_ptr<WebSession>& session,
                                             const std::string& host, int port, int generation) {
  std::weak_ptr<WebSession> weak = session;
  return std::make_unique<KeldorLink>(
      host, port, config_.keldorTimeout,
      [this, weak, generation](const std::string& type, std::string json) {
        asio::post(io_, [this, weak, generation, type, json = std::move(json)] {
          if (auto s = weak.lock()) OnLink(s, generation, type, json);
        });
      });
}

void Server::OnLink(const std::shared_ptr<WebSession>& session, int generation,
                    const std::string& type, const std::string& text) {
  if (session->pending != nullptr && generation == session->pendingGeneration) {
    if (type == "login") Switched(session, json::parse(text, nullptr, false));
    return;
  }
  if (generation != session->generation) return;  // a link the session has left
  if (type == "login") {
    const json answer = json::parse(text, nullptr, false);
    const bool ok = answer.is_object() && answer.value("ok", false);
    session->loggedIn = ok;
    if (ok) session->rights = answer.value("rights", std::uint32_t{0});
    if (session->onLogin) {
      auto onLogin = std::move(session->onLogin);
      session->onLogin = nullptr;
      onLogin(answer.is_object() ? answer : json::object());
    }
    if (!ok) sessions_.erase(session->id);
    return;
  }
  if (type == "dropped") {
    Log("the connection of %s to Keldor was lost", session->user.c_str());
    return EndSession(session->id, "dropped", text);
  }
  Remember(*session, type, text);
  SendToPage(*session, text);
}

void Server::EndSession(const std::string& id, const char* reason, const std::string& json) {
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return;
  const std::shared_ptr<WebSession> session = found->second;
  sessions_.erase(found);
  if (auto ws = session->socket.lock()) {
    ws->Send(json);
    ws->Close();
  }
  Log("session of %s ended (%s)", session->user.c_str(), reason);
  session->link.reset();  // closes the connection to Keldor and waits for its thread
}

// ---- The last 24 hours ------------------------------------------------------------

void Server::Remember(const WebSession& session, const std::string& type, const std::string& text) {
  if (type != "status" && type != "note") return;
  const std::string endpoint = session.link->Endpoint();
  // Read only when kept: every page refreshes the status every few seconds.
  if (type == "status" && !history_.Due(endpoint, now_())) return;
  const json message = json::parse(text, nullptr, false);
  if (!message.is_object()) return;
  if (type == "status") {
    History::Sample sample;
    if (SampleFromStatus(message.value("data", json()), &sample)) {
      history_.AddSample(endpoint, sample, now_(), std::time(nullptr));
    }
    return;
  }
  const json code = message.value("code", json()), subject = message.value("text", json());
  if (!code.is_number_unsigned()) return;
  history_.AddNote(endpoint, code.get<std::uint32_t>(),
                   subject.is_string() ? subject.get<std::string>() : std::string(), session.serial,
                   now_(), std::time(nullptr));
}

bool Server::HistoryCommand(const std::shared_ptr<WebSession>& session, const json& command) {
  const auto found = command.find("op");
  if (found == command.end() || *found != "history") return false;
  const json id = CommandId(command);
  // The players, state and map over time are what the status shows now.
  if (!keldor::RightsAllow(session->rights, keldor::REQ_GET_STATUS)) {
    SendToPage(*session, Dump({{"type", "reply"},
                               {"id", id},
                               {"ok", false},
                               {"refused", true},
                               {"message", "This account may not see the server's status."}}));
    return true;
  }
  const auto ws = session->socket.lock();
  if ((session->historySent && now_() - *session->historySent < kHistoryInterval) ||
      ws == nullptr || ws->Queued() > kHistoryBacklog) {
    SendToPage(*session, Dump({{"type", "reply"},
                               {"id", id},
                               {"ok", false},
                               {"busy", true},
                               {"message", "The history was sent a moment ago."}}));
    return true;
  }
  session->historySent = now_();
  json data = history_.Json(session->link->Endpoint(), now_());
  data["keldor"] = session->link->Endpoint();
  data["now"] = std::time(nullptr);  // the page's axis ends here, whatever the browser's clock says
  SendToPage(*session, Dump({{"type", "reply"}, {"id", id}, {"ok", true}, {"data", data}}));
  return true;
}

// ---- The fleet -----------------------------------------------------------------

bool Server::FleetCommand(const std::shared_ptr<WebSession>& session, const json& command) {
  const auto found = command.find("op");
  const std::string op =
      found != command.end() && found->is_string() ? found->get<std::string>() : "";
  if (op != "fleet" && op != "console") return false;
  const json id = CommandId(command);
  if (fleet_ == nullptr) {
    SendToPage(*session, Dump({{"type", "reply"},
                               {"id", id},
                               {"ok", false},
                               {"message", "This web console shows no fleet."}}));
    return true;
  }
  if (op == "console") {
    OpenConsole(session, command);
    return true;
  }
  std::weak_ptr<WebSession> weak = session;
  fleet_->Get([this, weak, id](const FleetCache::Shared& snapshot) {
    const auto s = weak.lock();
    if (s == nullptr) return;
    if (snapshot == nullptr || !snapshot->ok) {
      const std::string why = snapshot == nullptr
                                  ? "Too many requests are waiting for the fleet database."
                                  : "The fleet database cannot be read: " + snapshot->error;
      return SendToPage(*s, Dump({{"type", "reply"}, {"id", id}, {"ok", false}, {"message", why}}));
    }
    // Bans and admin actions name players' addresses: only for accounts
    // that Keldor would show its own ban list.
    const bool bans = keldor::RightsAllow(s->rights, keldor::REQ_GET_BANS);
    SendToPage(*s, R"({"type":"reply","id":)" + id.dump() + R"(,"ok":true,"data":)" +
                       (bans ? snapshot->all : snapshot->serversOnly) + "}");
  });
  return true;
}

void Server::OpenConsole(const std::shared_ptr<WebSession>& session, const json& command) {
  const json id = CommandId(command);
  auto fail = [&](const std::string& message, bool refused = false) {
    SendToPage(*session, Dump({{"type", "reply"},
                               {"id", id},
                               {"ok", false},
                               {"refused", refused},
                               {"message", message}}));
  };
  const json name = command.value("server", json()), password = command.value("password", json());
  if (!name.is_string() || !password.is_string() ||
      password.get_ref<const std::string&>().size() > kMaxCredential) {
    return fail("The request is malformed.");
  }
  if (session->pending != nullptr) return fail("A switch to another Keldor is under way.");
  // The endpoint comes from the database, never from the page.
  const FleetCache::Shared& latest = fleet_->Latest();
  const keldorfleet::Server* row = nullptr;
  for (std::size_t k = 0; latest != nullptr && k < latest->fleet.servers.size(); ++k) {
    if (latest->fleet.servers[k].name == name.get_ref<const std::string&>()) {
      row = &latest->fleet.servers[k];
    }
  }
  if (row == nullptr) return fail("The fleet holds no such server.");
  if (!fleetHosts_.Allowed(row->host, row->port)) {
    Log("%s was refused the console of a server at a host not among the fleet hosts: %s",
        session->user.c_str(), keldorfleet::Printable(row->host).c_str());
    return fail("Its host is not among the fleet hosts this web console may open.", true);
  }
  switch (brake_.Begin(session->address, now_())) {
    case LoginBrake::Verdict::kGo:
      break;
    case LoginBrake::Verdict::kLocked:
      return fail(LockoutText(brake_.LockedFor(session->address, now_())), true);
    case LoginBrake::Verdict::kBusy:
      return fail("Another login from this address is under way; try again in a moment.");
  }
  session->pendingGeneration = ++generations_;
  session->pendingId = id;
  session->pending = MakeLink(session, row->host, row->port, session->pendingGeneration);
  session->pending->LogIn(session->user, password.get<std::string>());
}

void Server::Switched(const std::shared_ptr<WebSession>& session, const json& answer) {
  const bool ok = answer.is_object() && answer.value("ok", false);
  brake_.End(session->address, !ok && answer.is_object() && answer.value("guess", false), now_());
  const std::string endpoint = session->pending->Endpoint();
  json reply = {{"type", "reply"}, {"id", session->pendingId}, {"ok", ok}, {"keldor", endpoint}};
  if (ok) {
    std::swap(session->link, session->pending);
    session->generation = session->pendingGeneration;
    session->rights = answer.value("rights", std::uint32_t{0});
    reply["rights"] = session->rights;
    reply["refused"] = RefusedActions(session->rights);
    reply["message"] = "Connected to the Keldor at " + endpoint + ".";
    Log("%s switched to the Keldor at %s", session->user.c_str(),
        keldorfleet::Printable(endpoint).c_str());
  } else {
    reply["refused"] = true;
    reply["message"] = answer.is_object() ? answer.value("message", "") : "";
  }
  session->pendingGeneration = -1;
  session->pending.reset();  // the link left or refused: closed, its thread waited for
  SendToPage(*session, Dump(reply));
}

}  // namespace keldorweb
