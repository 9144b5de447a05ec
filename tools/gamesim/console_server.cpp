// The remote console's TCP server.
#include "console_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "commands.h"

namespace gamesim {
namespace {

constexpr std::size_t kReadChunk = 65536;
constexpr std::size_t kMaxCommandLines = 256;  // command lines carried out per request

bool MakeNonBlocking(int socket) {
  const int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

bool ConsoleServer::Listen(const std::string& address, int port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (port <= 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    Log("Couldn't open the remote console: bad address %s:%d", address.c_str(), port);
    return false;
  }
  listen_ = keldor::OwnedFd(socket(AF_INET, SOCK_STREAM, 0));
  const int on = 1;
  if (listen_.get() < 0 ||
      setsockopt(listen_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(listen_.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(listen_.get(), 8) != 0 || !MakeNonBlocking(listen_.get())) {
    Log("Couldn't open the remote console on %s:%d: %s", address.c_str(), port,
        std::strerror(errno));
    return false;
  }
  Log("Remote console listening on %s:%d", address.c_str(), port);
  return true;
}

int ConsoleServer::FillSets(fd_set& readSet, fd_set& writeSet, int highest) const {
  // A muted console is a hung server: nothing is accepted, read or answered.
  if (listen_.get() < 0 || server_.muted || server_.hung) return highest;
  FD_SET(listen_.get(), &readSet);
  highest = std::max(highest, listen_.get());
  for (const ConsoleClient& client : clients_) {
    if (client.socket.get() < 0) continue;
    if (!client.closing) FD_SET(client.socket.get(), &readSet);
    if (!client.output.empty()) FD_SET(client.socket.get(), &writeSet);
    highest = std::max(highest, client.socket.get());
  }
  return highest;
}

void ConsoleServer::Serve(const fd_set& readSet, const fd_set& writeSet) {
  if (listen_.get() < 0 || server_.muted || server_.hung) return;
  for (ConsoleClient& client : clients_) {
    if (client.socket.get() >= 0 && FD_ISSET(client.socket.get(), &writeSet)) Write(client);
    if (client.socket.get() >= 0 && FD_ISSET(client.socket.get(), &readSet)) Read(client);
  }
  if (FD_ISSET(listen_.get(), &readSet)) Accept();
}

void ConsoleServer::Accept() {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  keldor::OwnedFd socket(accept(listen_.get(), reinterpret_cast<sockaddr*>(&peer), &length));
  if (socket.get() < 0) return;
  ConsoleClient* free = nullptr;
  for (ConsoleClient& client : clients_) {
    if (client.socket.get() < 0) {
      free = &client;
      break;
    }
  }
  if (!free || !MakeNonBlocking(socket.get())) {
    Log("Refused a console connection: no free place");
    return;
  }
  *free = ConsoleClient{};
  free->socket = std::move(socket);
  for (std::uint8_t& byte : free->key) byte = static_cast<std::uint8_t>(keys_() & 0xFF);
  free->output.assign(free->key.begin(), free->key.end());
  Log("Console connection from %s", inet_ntoa(peer.sin_addr));
  Write(*free);
}

void ConsoleServer::Read(ConsoleClient& client) {
  std::uint8_t chunk[kReadChunk];
  const ssize_t got = recv(client.socket.get(), chunk, sizeof chunk, 0);
  if (got == 0) return Close(client, "closed by the peer");
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Close(client, "read failed");
    return;
  }
  client.input.insert(client.input.end(), chunk, chunk + got);
  Process(client);
}

void ConsoleServer::Process(ConsoleClient& client) {
  while (client.socket.get() >= 0 && !client.closing && !client.input.empty()) {
    std::string error;
    std::size_t used = 0;
    Decode result = Decode::kIncomplete;
    if (client.stage != ConsoleClient::Stage::kLoggedIn) {
      std::string text;
      result = UnmaskCredential(client.input.data(), client.input.size(), client.key.data(), text,
                                used, error);
      if (result == Decode::kDone && client.stage == ConsoleClient::Stage::kUser) {
        client.user = text;
        client.stage = ConsoleClient::Stage::kPassword;
      } else if (result == Decode::kDone) {
        const bool accepted = !server_.refuseLogins && client.user == server_.consoleUser &&
                              text == server_.consolePassword;
        client.output.push_back(accepted ? 1 : 0);
        Log("Console login of \"%s\" %s", client.user.c_str(), accepted ? "accepted" : "refused");
        if (accepted)
          client.stage = ConsoleClient::Stage::kLoggedIn;
        else
          client.closing = true;
      }
    } else {
      std::vector<std::string> request;
      result = DecodeStringList(client.input.data(), client.input.size(), request, used, error);
      if (result == Decode::kDone) Answer(client, request);
      if (client.socket.get() < 0) return;
    }
    if (result == Decode::kRefused) {
      Log("Refused console input: %s", error.c_str());
      return Close(client, "bad input");
    }
    if (result == Decode::kIncomplete) {
      // Nothing decodes beyond the bounds, so more than that is garbage.
      if (client.input.size() > kMaxRequestBytes) Close(client, "request too large");
      break;
    }
    client.input.erase(client.input.begin(), client.input.begin() + static_cast<long>(used));
  }
  if (client.socket.get() >= 0) Write(client);
}

void ConsoleServer::Answer(ConsoleClient& client, const std::vector<std::string>& request) {
  std::vector<std::string> reply;
  const std::string name = request.empty() ? "" : request[0];
  if (name.rfind("ConsoleMessage", 0) == 0) {
    std::size_t lines = 0;
    for (std::size_t i = 1; i < request.size(); ++i) {
      if (request[i] == "\r") break;
      if (++lines > kMaxCommandLines) {
        reply.push_back("Too many command lines, the rest was ignored");
        break;
      }
      RunConsoleLine(server_, request[i], reply);
    }
  } else if (name.rfind("ConsoleRun", 0) == 0) {
    // The first string of an output reply is a prompt; the output follows.
    reply.push_back(">");
    for (std::string& line : server_.game.TakeOutput()) reply.push_back(std::move(line));
  } else {
    reply.push_back("Unknown request");
  }
  for (const std::string& event : server_.game.TakeEvents()) reply.push_back("##-- " + event);
  const std::vector<std::uint8_t> bytes = EncodeStringList(reply);
  if (client.output.size() + bytes.size() > kMaxPendingOutput) {
    return Close(client, "the peer does not read its replies");
  }
  client.output.insert(client.output.end(), bytes.begin(), bytes.end());
  SaveBanFiles(server_);
}

void ConsoleServer::Write(ConsoleClient& client) {
  while (!client.output.empty()) {
    const ssize_t sent =
        send(client.socket.get(), client.output.data(), client.output.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) Close(client, "send failed");
      return;
    }
    client.output.erase(client.output.begin(), client.output.begin() + sent);
  }
  if (client.closing) Close(client, "login refused");
}

void ConsoleServer::Flush() {
  for (ConsoleClient& client : clients_) {
    if (client.socket.get() < 0 || client.output.empty()) continue;
    // A peer that does not read gets two seconds, not forever.
    const timeval limit{2, 0};
    setsockopt(client.socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    const int flags = fcntl(client.socket.get(), F_GETFL, 0);
    if (flags >= 0) fcntl(client.socket.get(), F_SETFL, flags & ~O_NONBLOCK);
    Write(client);
  }
}

void ConsoleServer::Close(ConsoleClient& client, const char* why) {
  Log("Console connection closed: %s", why);
  client = ConsoleClient{};
}

}  // namespace gamesim
