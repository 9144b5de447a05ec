// The real keldor-web in front of a real keldor, spoken to over raw sockets
// from several loopback addresses: a password guesser in a browser is stopped
// here before Keldor shuts out this host, and one address holding connections
// leaves room for the others; a mistyped map or rotation sent from the page is
// a failure that changes nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "e2e_support.h"
#include "fleet/schema.h"
#include "pg_cluster.h"

namespace keldor::e2e {
namespace {

constexpr std::uint32_t kAdmin = 0xFFFFFFFF;

struct HttpAnswer {
  int status = 0;
  std::string head;
  nlohmann::json body;
  std::string text;  // the body as it came
};

class WebConsole : public KeldorHarness {
 protected:
  void SetUp() override {
    StartKeldor(Account("admin", "secret", kAdmin) + Account("viewer", "look", 0x20));
    StartWeb({});
  }

  void StartWeb(const std::vector<std::string>& extra) {
    std::vector<std::string> args{"--listen", "127.0.0.1:0", "--keldor", "127.0.0.1:" + Port()};
    args.insert(args.end(), extra.begin(), extra.end());
    web_.reset();
    web_ = std::make_unique<Process>(BinaryPath("keldor-web"), args, dir_.path(),
                                     dir_ / ("web" + std::to_string(extra.size()) + ".out"));
    constexpr std::string_view kServing = "serving http://127.0.0.1:";
    ASSERT_TRUE(WaitFor([&] { return web_->Output().find(kServing) != std::string::npos; }));
    const std::string out = web_->Output();
    webPort_ = std::stoi(out.substr(out.find(kServing) + kServing.size()));
  }

  std::string Host() const { return "127.0.0.1:" + std::to_string(webPort_); }

  // Everything the server sends until it closes (or 20 s pass).
  static std::string ReadToEnd(RawClient& client) {
    return testing::ReadExactly(client.fd(), std::string::npos, 20);
  }

  HttpAnswer Exchange(const std::string& request, const char* source = "127.0.0.1") {
    RawClient client(webPort_, source);
    client.Send(request);
    const std::string text = ReadToEnd(client);
    const std::size_t end = text.find("\r\n\r\n");
    if (text.size() < 12 || end == std::string::npos) return {};
    return {std::atoi(text.c_str() + 9), text.substr(0, end),
            nlohmann::json::parse(text.substr(end + 4), nullptr, false), text.substr(end + 4)};
  }

  HttpAnswer Get(const char* source = "127.0.0.1") {
    return Exchange("GET / HTTP/1.1\r\nHost: " + Host() + "\r\nConnection: close\r\n\r\n", source);
  }

  // A login the way the page sends it, with a token from a fresh page.
  HttpAnswer Login(const std::string& password, const char* source = "127.0.0.1",
                   const std::string& user = "admin") {
    const std::string html = Get(source).text;
    constexpr std::string_view kMeta = "name=\"login-token\" content=\"";
    const std::string token =
        html.substr(std::min(html.size(), html.find(kMeta) + kMeta.size()), 32);
    const std::string body =
        nlohmann::json{{"user", user}, {"password", password}, {"token", token}}.dump();
    return Exchange("POST /api/login HTTP/1.1\r\nHost: " + Host() + "\r\nOrigin: http://" + Host() +
                        "\r\nContent-Type: application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body,
                    source);
  }

  std::unique_ptr<Process> web_;
  int webPort_ = 0;
};

TEST_F(WebConsole, GuessesAreStoppedHereBeforeKeldorLocksOutThisHost) {
  for (int k = 0; k < 5; ++k) {
    const HttpAnswer wrong = Login("guess" + std::to_string(k));
    EXPECT_EQ(wrong.status, 401) << k;
    EXPECT_EQ(wrong.body["message"], "Wrong user name or password.") << k;
  }
  // From now on this browser address is refused without a word to Keldor,
  // the right password included.
  for (const char* password : {"guess5", "guess6", "secret"}) {
    const HttpAnswer refused = Login(password);
    EXPECT_EQ(refused.status, 429) << password;
    const std::size_t retry = refused.head.find("\r\nRetry-After: ");
    ASSERT_NE(retry, std::string::npos) << refused.head;
    const int seconds = std::atoi(refused.head.c_str() + retry + 15);
    EXPECT_TRUE(seconds > 540 && seconds <= 600) << seconds;
    EXPECT_EQ(refused.body["message"],
              "too many failed logins from this address; try again in 10 minutes");
    EXPECT_TRUE(refused.body["token"].is_string()) << "the page can try again later";
  }
  // Another browser gets in, and Keldor still lets this host's keldorctl in.
  const HttpAnswer other = Login("secret", "127.0.0.2");
  EXPECT_EQ(other.status, 200);
  EXPECT_NE(other.head.find("Set-Cookie: keldor_web="), std::string::npos);
  RawClient direct(port_);
  EXPECT_TRUE(direct.LogIn("admin", "secret"));
  EXPECT_NE(web_->Output().find("5 failed logins from 127.0.0.1"), std::string::npos);
}

// Guesses that reach Keldor by another way lock this host out of the account;
// the page says so rather than that Keldor cannot be reached.
TEST_F(WebConsole, KeldorsOwnLockoutIsExplainedOnThePage) {
  for (int batch = 0; batch < 2; ++batch) {
    std::vector<std::unique_ptr<RawClient>> guesses;
    for (int k = 0; k < 4; ++k) {
      guesses.push_back(std::make_unique<RawClient>(port_));
      guesses.back()->SendCredentials("admin", "guess");
    }
    for (auto& guess : guesses) ASSERT_EQ(guess->Read(2), "\x02");
  }
  const HttpAnswer refused = Login("secret", "127.0.0.2");
  EXPECT_EQ(refused.status, 429);
  EXPECT_EQ(refused.body["message"],
            "too many failed logins from this address; try again in 10 minutes");
}

// The page's WebSocket for a session that logged in with `login`.
std::unique_ptr<RawClient> OpenSocket(int port, const std::string& host, const HttpAnswer& login,
                                      const char* source = "127.0.0.1") {
  const std::size_t cookie = login.head.find("keldor_web=");
  auto socket = std::make_unique<RawClient>(port, source);
  socket->Send("GET /ws HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
               "\r\nCookie: " + login.head.substr(cookie, login.head.find(';', cookie) - cookie) +
               "\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13"
               "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
  std::string head;
  while (head.size() < 4096 && head.find("\r\n\r\n") == std::string::npos) {
    const std::string byte = socket->Read(1);
    if (byte.empty()) break;
    head += byte;
  }
  EXPECT_EQ(head.substr(0, 12), "HTTP/1.1 101");
  return socket;
}

TEST_F(WebConsole, OneAddressHoldingConnectionsLeavesRoomForOthers) {
  // A logged-in page's WebSocket, opened before the flood, outlives the
  // deadline that idle connections meet.
  const HttpAnswer login = Login("secret", "127.0.0.2");
  ASSERT_EQ(login.status, 200);
  const auto socket = OpenSocket(webPort_, Host(), login, "127.0.0.2");

  std::vector<std::unique_ptr<RawClient>> held;
  for (int k = 0; k < 64; ++k) {
    held.push_back(std::make_unique<RawClient>(webPort_));
    held.back()->Send("GET / HTTP/1.1\r\n");  // and never the rest
  }
  EXPECT_EQ(Get("127.0.0.2").status, 200);
  EXPECT_EQ(Get("127.0.0.3").status, 200);
  // The held connections end at the header deadline, well before 20 s.
  EXPECT_EQ(ReadToEnd(*held.front()), "");
  pollfd wait{held.front()->fd(), POLLIN, 0};
  EXPECT_EQ(poll(&wait, 1, 0), 1) << "still open";
  held.clear();
  EXPECT_EQ(Get().status, 200);

  char byte;
  ssize_t got = 0;
  while ((got = recv(socket->fd(), &byte, 1, MSG_DONTWAIT)) > 0) {
  }
  EXPECT_TRUE(got < 0 && errno == EAGAIN) << "the WebSocket was cut";
}

// A masked text frame as a browser sends it; the zero mask leaves the text as it is.
std::string ClientFrame(const std::string& text) {
  std::string frame = "\x81";
  if (text.size() < 126) {
    frame += static_cast<char>(0x80 | text.size());
  } else {
    frame += '\xFE';
    frame += static_cast<char>(text.size() >> 8);
    frame += static_cast<char>(text.size() & 0xFF);
  }
  return frame + std::string(4, '\0') + text;
}

// The next message the server sends the page; discarded when the socket ends.
nlohmann::json NextMessage(RawClient& socket) {
  const std::string head = socket.Read(2);
  if (head.size() != 2) return nlohmann::json::value_t::discarded;
  std::size_t length = static_cast<unsigned char>(head[1]) & 0x7F;
  const std::size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
  if (extra != 0) length = 0;
  for (const char byte : socket.Read(extra))
    length = length << 8 | static_cast<unsigned char>(byte);
  return nlohmann::json::parse(socket.Read(length), nullptr, false);
}

// The page's reply to command `id`, skipping the greeting and notifications.
nlohmann::json ReplyTo(RawClient& socket, int id) {
  for (int guard = 0; guard < 50; ++guard) {
    const nlohmann::json message = NextMessage(socket);
    if (message.is_discarded()) break;
    if (message.is_object() && message.value("type", "") == "reply" &&
        message.value("id", 0) == id) {
      return message;
    }
  }
  return {};
}

TEST_F(WebConsole, AMistypedMapOrRotationIsAFailureAndChangesNothing) {
  const HttpAnswer login = Login("secret");
  ASSERT_EQ(login.status, 200);
  const auto socket = OpenSocket(webPort_, Host(), login);

  socket->Send(ClientFrame(R"({"id":1,"op":"change-map","combo":"khe_sahn GPM_CQ bfvietnam"})"));
  EXPECT_EQ(ReplyTo(*socket, 1).value("ok", true), false);
  // The page checks the combo against the maps list it fetches.
  socket->Send(ClientFrame(R"({"id":2,"op":"get","file":"maps"})"));
  EXPECT_NE(ReplyTo(*socket, 2).value("data", "").find("bfvietnam,khe_sanh,"), std::string::npos);
  const std::string rotation = ReadFile(SettingsPath("servermaplist.con"));
  socket->Send(ClientFrame(
      R"({"id":3,"op":"put","file":"rotation","content":"game.addLevelToRotation nowhere GPM_CQ bfvietnam\n"})"));
  EXPECT_EQ(ReplyTo(*socket, 3).value("ok", true), false);
  EXPECT_EQ(ReadFile(SettingsPath("servermaplist.con")), rotation);
  EXPECT_TRUE(Logged(": the map khe_sahn is not installed in bfvietnam.")) << Log();
  EXPECT_FALSE(Logged("changed the map to khe_sahn"));
  // A schedule Keldor stores but cannot load whole fails before the pong of its
  // upload: the requests after it still get their own answers on the same link.
  socket->Send(ClientFrame(R"({"id":4,"op":"put","file":"schedule","content":"not an event\n"})"));
  EXPECT_EQ(ReplyTo(*socket, 4).value("ok", true), false);
  for (int id : {5, 6}) {
    socket->Send(ClientFrame(R"({"id":)" + std::to_string(id) + R"(,"op":"status"})"));
    const nlohmann::json status = ReplyTo(*socket, id);
    EXPECT_TRUE(status.value("ok", false)) << status;
  }
}

// The next and the idle map go through Keldor's check of the installed maps; a
// combo that is not three words never leaves keldor-web, and the empty idle
// combo turns the idle map off.
TEST_F(WebConsole, TheNextAndIdleMapsAreCheckedLikeAMapChange) {
  const auto socket = OpenSocket(webPort_, Host(), Login("secret"));
  const struct {
    const char* frame;
    bool ok;
    const char* message;
  } cases[] = {
      {R"({"id":1,"op":"set-next-map","combo":"khe_sahn GPM_CQ bfvietnam"})", false, nullptr},
      {R"({"id":2,"op":"set-next-map","combo":"khe_sanh GPM_CQ"})", false,
       "A map combo is three words: map, game mode and mod."},
      {R"({"id":3,"op":"idle-map","combo":"hue\nGPM_CQ bfvietnam"})", false,
       "The map combo holds a control character."},
      {R"({"id":4,"op":"set-next-map","combo":"khe_sanh GPM_CQ bfvietnam"})", true,
       "The next map will be khe_sanh GPM_CQ bfvietnam."},
      {R"({"id":5,"op":"idle-map","combo":"hue GPM_CQ bfvietnam"})", true,
       "The idle map is hue GPM_CQ bfvietnam."},
      {R"({"id":6,"op":"idle-map","combo":""})", true, "The idle map is off."},
  };
  int id = 0;
  for (const auto& c : cases) {
    socket->Send(ClientFrame(c.frame));
    const nlohmann::json reply = ReplyTo(*socket, ++id);
    EXPECT_EQ(reply.value("ok", !c.ok), c.ok) << c.frame << reply;
    if (c.message != nullptr) {
      EXPECT_EQ(reply.value("message", ""), c.message) << reply;
    }
  }
  EXPECT_TRUE(Logged(": the map khe_sahn is not installed in bfvietnam.")) << Log();
  EXPECT_TRUE(Logged("changed the next map to khe_sanh GPM_CQ bfvietnam.")) << Log();
  EXPECT_TRUE(Logged("changed the idle map to hue GPM_CQ bfvietnam.")) << Log();
}

// A refusal names the right the account lacks, for a job and for a list alike,
// and comes before anything reaches Keldor (its log shows no attempt).
TEST_F(WebConsole, ARefusalNamesTheMissingRight) {
  const HttpAnswer login = Login("look", "127.0.0.1", "viewer");
  ASSERT_EQ(login.status, 200);
  const auto socket = OpenSocket(webPort_, Host(), login);
  // The greeting tells the page what to disable, and why.
  const nlohmann::json hello = NextMessage(*socket);
  ASSERT_EQ(hello.value("type", ""), "hello") << hello;
  EXPECT_EQ(hello["refused"].value("next-map", ""), "Needs the right M (maps).") << hello;
  EXPECT_EQ(hello["refused"].value("kick", ""), "Needs the right P (players).") << hello;
  EXPECT_FALSE(hello["refused"].contains("status")) << hello;
  EXPECT_FALSE(hello["refused"].contains("say")) << hello;
  socket->Send(ClientFrame(R"({"id":1,"op":"change-map","combo":"hue GPM_CQ bfvietnam"})"));
  socket->Send(ClientFrame(R"({"id":2,"op":"bans"})"));
  for (const auto& [id, right] : {std::pair{1, "M (maps)"}, std::pair{2, "B (bans)"}}) {
    const nlohmann::json reply = ReplyTo(*socket, id);
    EXPECT_EQ(reply.value("refused", false), true) << reply;
    EXPECT_EQ(reply.value("message", ""), std::string("Not sent to Keldor: it needs the right ") +
                                              right + ", which this account lacks.")
        << reply;
  }
  // Keldor saw neither: an allowed request after them finds no refusal in its log.
  socket->Send(ClientFrame(R"({"id":3,"op":"status"})"));
  EXPECT_EQ(ReplyTo(*socket, 3).value("ok", false), true);
  EXPECT_FALSE(Logged("does not have access to command")) << Log();
}

// The last 24 hours come from the pages' own status refreshes, one sample per
// step however often they ask, and go only to accounts that may see the
// status; an answer that can carry a day of samples is not sent as fast as a
// page asks.
class WebHistory : public WebConsole {
 protected:
  void SetUp() override {
    StartKeldor(Account("admin", "secret", kAdmin) + Account("lister", "look", kRightP));
    StartWeb({});
  }
};

TEST_F(WebHistory, SampledFromThePagesRefreshesForAccountsThatMaySeeTheStatus) {
  const HttpAnswer login = Login("secret");
  ASSERT_EQ(login.status, 200);
  const auto socket = OpenSocket(webPort_, Host(), login);
  socket->Send(ClientFrame(R"({"id":1,"op":"history","auto":true})"));
  nlohmann::json reply = ReplyTo(*socket, 1);
  ASSERT_EQ(reply.value("ok", false), true) << reply;
  EXPECT_TRUE(reply["data"]["samples"].empty()) << reply;
  for (int id = 2; id <= 4; ++id) {
    socket->Send(ClientFrame(R"({"op":"status","auto":true,"id":)" + std::to_string(id) + "}"));
    EXPECT_EQ(ReplyTo(*socket, id).value("ok", false), true);
  }
  socket->Send(ClientFrame(R"({"id":5,"op":"history","auto":true})"));
  EXPECT_EQ(ReplyTo(*socket, 5).value("busy", false), true) << "asked again at once";
  for (int id = 6; id < 20; ++id) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    socket->Send(ClientFrame(R"({"op":"history","auto":true,"id":)" + std::to_string(id) + "}"));
    reply = ReplyTo(*socket, id);
    if (!reply.value("busy", false)) break;
  }
  ASSERT_EQ(reply.value("ok", false), true) << reply;
  EXPECT_EQ(reply["data"]["samples"].size(), 1U) << reply;
  EXPECT_EQ(reply["data"]["keldor"], "127.0.0.1:" + Port());

  const HttpAnswer lister = Login("look", "127.0.0.1", "lister");
  ASSERT_EQ(lister.status, 200);
  const auto theirs = OpenSocket(webPort_, Host(), lister);
  theirs->Send(ClientFrame(R"({"id":1,"op":"history"})"));
  reply = ReplyTo(*theirs, 1);
  EXPECT_EQ(reply.value("refused", false), true) << reply;
  EXPECT_FALSE(reply.contains("data"));
}

// The fleet reaches a page only over its logged-in socket, bans only for an
// account that may see bans; a console opens only where the operator allowed,
// whatever host a row of the database names.
TEST_F(WebConsole, TheFleetPageAndItsConsoles) {
  testing::PgCluster pg;
  ASSERT_TRUE(pg.Ok());
  ASSERT_EQ(pg.Query(FleetMigrationTransaction(1) +
                     "SELECT keldor.server_status('there', 'LOCALHOST', " + Port() +
                     ", '2.0', 'running', 'hue', 1, 32, 0, 10);"
                     "SELECT keldor.server_status('evil', '127.0.0.2', " +
                     Port() +
                     ", '2.0', 'running', 'hue', 1, 32, 0, 10);"
                     "SELECT keldor.ban(md5('1'), 'there', 'ann', 'Cheater', '1.2.3.4', '', '', "
                     "1, 0, 'aimbot');")
                .find('\x01'),
            std::string::npos);
  StartWeb({"--fleet", pg.ConnInfo(), "--fleet-hosts", "localhost:1,localhost"});
  const HttpAnswer forged =
      Exchange("GET /ws HTTP/1.1\r\nHost: " + Host() + "\r\nOrigin: http://" + Host() +
               "\r\nCookie: keldor_web=0123456789abcdef0123456789abcdef\r\nConnection: Upgrade"
               "\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13"
               "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
  EXPECT_EQ(forged.status, 403);
  EXPECT_EQ(forged.text.find("Cheater"), std::string::npos);

  const auto viewer = OpenSocket(webPort_, Host(), Login("look", "127.0.0.1", "viewer"));
  viewer->Send(ClientFrame(R"({"id":1,"op":"fleet"})"));
  const nlohmann::json seen = ReplyTo(*viewer, 1);
  EXPECT_EQ(seen["data"]["servers"].size(), 2u) << seen;
  EXPECT_FALSE(seen["data"].contains("bans")) << seen;

  const auto socket = OpenSocket(webPort_, Host(), Login("secret"));
  socket->Send(ClientFrame(R"({"id":1,"op":"fleet"})"));
  const nlohmann::json fleet = ReplyTo(*socket, 1)["data"];
  EXPECT_EQ(fleet["bans"][0]["name"], "Cheater") << fleet;
  EXPECT_EQ(fleet["servers"][0]["openable"], false) << fleet;
  EXPECT_EQ(fleet["servers"][1]["openable"], true) << fleet;
  socket->Send(ClientFrame(R"({"id":2,"op":"console","server":"evil","password":"secret"})"));
  EXPECT_EQ(ReplyTo(*socket, 2).value("message", ""),
            "Its host is not among the fleet hosts this web console may open.");
  socket->Send(ClientFrame(R"({"id":3,"op":"console","server":"there","password":"secret"})"));
  const nlohmann::json switched = ReplyTo(*socket, 3);
  EXPECT_EQ(switched.value("keldor", ""), "LOCALHOST:" + Port()) << switched;
  EXPECT_EQ(switched.value("ok", false), true) << switched;
  socket->Send(ClientFrame(R"({"id":4,"op":"status"})"));
  EXPECT_EQ(ReplyTo(*socket, 4).value("ok", false), true);
}

}  // namespace
}  // namespace keldor::e2e
