// Shared pieces of the gamesim end-to-end tests.
#include "gamesim_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "process_support.h"

namespace gamesim_test {
namespace {

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back((value >> shift) & 0xFF);
}

// Reads one zero-terminated string at `at`; false at the end of the datagram.
bool TakeText(const std::vector<std::uint8_t>& data, std::size_t& at, std::string& text) {
  if (at >= data.size()) return false;
  const auto* start = data.data() + at;
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(start, 0, data.size() - at));
  if (!end) return false;
  text.assign(reinterpret_cast<const char*>(start), end - start);
  at += text.size() + 1;
  return true;
}

// A player or team section: skipped byte, signed count, names, values.
bool TakeSection(const std::vector<std::uint8_t>& data, std::size_t& at,
                 std::map<std::string, std::string>& out) {
  if (at + 2 > data.size()) return false;
  const int count = static_cast<std::int8_t>(data[at + 1]);
  at += 2;
  std::vector<std::string> names;
  std::string name;
  while (TakeText(data, at, name) && !name.empty()) names.push_back(name);
  for (int i = 0; i < count; ++i) {
    for (const std::string& field : names) {
      std::string value;
      if (!TakeText(data, at, value)) return false;
      out[field + std::to_string(i)] = value;
    }
  }
  return true;
}

}  // namespace

Install MakeInstall(const std::string& dir, const std::string& settingsDir,
                    const std::string& extraSettings, const std::string& extraAutoexec) {
  Install install{dir, settingsDir, keldor::e2e::FreePort(), keldor::e2e::FreePort(SOCK_DGRAM)};
  WriteFile(settingsDir + "/serversettings.con",
            "game.serverName \"Test Server\"\n"
            "game.serverIP 127.0.0.1\n"
            "game.serverPort 15567\n"
            "game.gameSpyLANPort " +
                std::to_string(install.statusPort) +
                "\n"
                "game.serverMaxPlayers 16\n"
                "game.serverInternet 0\n" +
                extraSettings);
  WriteFile(settingsDir + "/serverautoexec.con",
            "admin.timeLimit 1200\n"
            "admin.soldierFFRatio 0.75\n"
            "admin.enableRemoteConsole User Secret " +
                std::to_string(install.consolePort) + "\n" + extraAutoexec);
  WriteFile(settingsDir + "/maplist.con",
            "game.setCurrentLevel hue_city GPM_CQ bfvietnam\n"
            "game.addLevelToRotation hue_city GPM_CQ bfvietnam\n"
            "game.addLevelToRotation ia_drang GPM_COOP bfvietnam\n");
  return install;
}

Console::~Console() {
  if (socket_ >= 0) close(socket_);
}

bool Console::Connect(int port) {
  socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SetReceiveTimeout(5);
  return connect(socket_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0 &&
         Receive(key_, sizeof key_);
}

void Console::SetReceiveTimeout(int seconds) {
  const timeval limit{seconds, 0};
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

int Console::Login(const std::string& user, const std::string& password) {
  std::vector<std::uint8_t> bytes;
  for (const std::string* text : {&user, &password}) {
    PutU32(bytes, static_cast<std::uint32_t>(text->size() + 1));
    for (std::size_t i = 0; i < text->size(); ++i) {
      bytes.push_back(static_cast<std::uint8_t>((*text)[i]) ^ key_[i % 10]);
    }
    bytes.push_back(0);
  }
  std::uint8_t verdict = 0;
  if (!SendRaw(bytes) || !Receive(&verdict, 1)) return -1;
  return verdict;
}

std::vector<std::uint8_t> StringList(const std::vector<std::string>& strings) {
  std::vector<std::uint8_t> bytes;
  PutU32(bytes, static_cast<std::uint32_t>(strings.size()));
  for (const std::string& text : strings) {
    PutU32(bytes, static_cast<std::uint32_t>(text.size() + 1));
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  }
  return bytes;
}

std::optional<std::vector<std::string>> Console::Command(const std::string& text) {
  std::vector<std::string> strings{"ConsoleMessage 0"};
  std::stringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) strings.push_back(line);
  strings.push_back("\r");
  if (!SendRaw(StringList(strings))) return std::nullopt;
  return ReadList();
}

std::optional<std::vector<std::string>> Console::Output() {
  if (!SendRaw(StringList({"ConsoleRun 0", ""}))) return std::nullopt;
  return ReadList();
}

bool Console::SendRaw(const std::vector<std::uint8_t>& bytes) {
  return send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
         static_cast<ssize_t>(bytes.size());
}

std::optional<std::vector<std::string>> Console::ReadList() {
  std::uint8_t word[4];
  if (!Receive(word, 4)) return std::nullopt;
  const std::uint32_t count = word[0] | word[1] << 8 | word[2] << 16 | std::uint32_t{word[3]} << 24;
  std::vector<std::string> strings;
  for (std::uint32_t i = 0; i < count && i < 10000; ++i) {
    if (!Receive(word, 4)) return std::nullopt;
    const std::uint32_t length =
        word[0] | word[1] << 8 | word[2] << 16 | std::uint32_t{word[3]} << 24;
    if (length == 0 || length > 1000000) return std::nullopt;
    std::string text(length, '\0');
    if (!Receive(text.data(), length)) return std::nullopt;
    if (text.back() != '\0') return std::nullopt;
    text.pop_back();
    strings.push_back(text);
  }
  return strings;
}

bool Console::PeerClosed() {
  char byte;
  return recv(socket_, &byte, 1, 0) == 0;
}

bool Console::Receive(void* data, std::size_t size) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = recv(socket_, bytes, size, 0);
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

std::optional<std::map<std::string, std::string>> QueryStatus(int port, bool info, bool players,
                                                              bool teams) {
  const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  const timeval limit{3, 0};
  setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<std::uint16_t>(port));
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::uint8_t request[10] = {0xFE,
                                    0xFD,
                                    0x00,
                                    0x12,
                                    0x34,
                                    0x56,
                                    0x78,
                                    static_cast<std::uint8_t>(info ? 0xFF : 0),
                                    static_cast<std::uint8_t>(players ? 0xFF : 0),
                                    static_cast<std::uint8_t>(teams ? 0xFF : 0)};
  sendto(socket, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
  std::vector<std::uint8_t> data(65536);
  const ssize_t got = recv(socket, data.data(), data.size(), 0);
  close(socket);
  if (got < 5 || std::memcmp(data.data() + 1, request + 3, 4) != 0) return std::nullopt;
  data.resize(static_cast<std::size_t>(got));
  std::map<std::string, std::string> values;
  std::size_t at = 5;
  if (info) {
    std::string key;
    std::string value;
    while (TakeText(data, at, key) && !key.empty()) {
      if (!TakeText(data, at, value)) return std::nullopt;
      values[key] = value;
    }
  }
  if (players && !TakeSection(data, at, values)) return std::nullopt;
  if (teams && !TakeSection(data, at, values)) return std::nullopt;
  return values;
}

std::optional<ListedPlayer> ParsePlayerLine(const std::string& line) {
  ListedPlayer player;
  const auto colon = line.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto space = line.find(' ', colon);
  if (space == std::string::npos) return std::nullopt;
  player.id = std::atoi(line.substr(colon + 1, space - colon - 1).c_str());
  const auto remote = line.find("is remote", space + 3);
  if (remote == std::string::npos || remote < space + 4) return std::nullopt;
  player.name = line.substr(space + 3, remote - 1 - (space + 3));
  if (line.compare(remote + 10, 3, "ip:") != 0) return std::nullopt;
  const auto portColon = line.find(':', remote + 14);
  if (portColon == std::string::npos) return std::nullopt;
  player.ip = line.substr(remote + 14, portColon - (remote + 14));
  const auto hash = line.find("hash:", portColon);
  player.keyhash = hash == std::string::npos ? "[unknown]" : line.substr(hash + 5);
  return player;
}

}  // namespace gamesim_test
