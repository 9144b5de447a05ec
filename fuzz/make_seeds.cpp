// Writes the binary seed inputs of the fuzz targets into fuzz/corpus/ with the
// project's own encoders: console string lists, status datagrams, client
// handshakes and request streams with file messages, and RFA archives. The
// text seeds are files an installation made by mkinstall and Keldor holds.
//   build-fuzz/fuzz_make_seeds fuzz/corpus
#include <cstdio>
#include <string>
#include <vector>

#include "maps/rfa_writer.h"
#include "wire/protocol.h"
#include "wire/transfer_frame.h"

namespace {

using Bytes = std::string;
std::string g_root;

void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
  const std::string path = g_root + "/" + target + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fclose(f);
}

Bytes U32(std::uint32_t v) {
  return Bytes{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
               static_cast<char>(v >> 24)};
}

// A console string list: the count, then each string with its length and zero byte.
Bytes StringList(const std::vector<std::string>& strings) {
  Bytes out = U32(static_cast<std::uint32_t>(strings.size()));
  for (const std::string& s : strings)
    out += U32(static_cast<std::uint32_t>(s.size() + 1)) + s + '\0';
  return out;
}

Bytes Z(const std::string& s) {
  return s + '\0';
}

Bytes Transfer(const std::string& content) {
  std::vector<unsigned char> message(keldor::TransferMessageBound(content.size()));
  const std::size_t size =
      keldor::EncodeTransferInto(content.data(), content.size(), message.data());
  return Bytes(reinterpret_cast<const char*>(message.data()), size);
}

Bytes Text(std::uint32_t code, const std::string& text) {
  return U32(code) + U32(static_cast<std::uint32_t>(text.size() + 1)) + text + '\0';
}

Bytes Credentials(const std::string& name, const std::string& password) {
  Bytes out;
  for (const std::string* s : {&name, &password}) {
    const keldor::CredentialField field = keldor::EncodeCredential(*s);
    out.append(reinterpret_cast<const char*>(field.data()), field.size());
  }
  return out;
}

void ConsoleSeeds() {
  // Bit i of the first byte: request i is a command (1) or an output fetch (0).
  Put("console_reply", "events",
      "\x00" + StringList({"##--Player joined: Bob\n", "##--Round over"}) +
          StringList({"plain output line"}));
  Put("console_reply", "command",
      "\xff" + StringList({"Id -- Name -- Ping\n", "1 -- Bob -- 50"}) +
          StringList({"continued ", "line\n", "\r"}));
  Put("console_reply", "empty",
      Bytes("\x05", 1) + StringList({}) + StringList({""}) + StringList({"x"}));
}

void StatusSeeds() {
  const Bytes info = Z("hostname") + Z("Keldor test") + Z("hostport") + Z("15567") + Z("mapname") +
                     Z("hue") + Z("gametype") + Z("conquest") + Z("game_id") + Z("bfvietnam") +
                     Z("");
  const Bytes players = Bytes("\0\x02", 2) + Z("player_") + Z("score_") + Z("ping_") + Z("") +
                        Z("Bob") + Z("10") + Z("50") + Z("Al") + Z("3") + Z("120");
  const Bytes teams = Bytes("\0\x02", 2) + Z("team_t") + Z("") + Z("US") + Z("NVA");
  Put("status_reply", "info", "\x00" + info);
  Put("status_reply", "status", "\x01" + info + players + teams);
  Put("status_reply", "players", "\x02" + players + teams);
}

void ClientSeeds() {
  const Bytes login = Credentials("fuzz", "fuzz");
  const Bytes version(1, static_cast<char>(keldor::PROTOCOL_VERSION));
  Put("client_login", "accepted", login + version + U32(keldor::REQ_PING));
  Put("client_login", "wrong_password", Credentials("fuzz", "nope"));
  Put("client_login", "wrong_version", login + "\x01");
  Put("client_login", "few_rights",
      Credentials("other", "other") + version + U32(keldor::REQ_GET_SETTINGS));

  using namespace keldor;
  Put("client_requests", "downloads",
      U32(REQ_PING) + U32(REQ_GET_SETTINGS) + U32(REQ_GET_USERS) + U32(REQ_GET_SCHEDULE) +
          U32(REQ_GET_STATUS) + U32(REQ_GET_LOG) + U32(REQ_GET_JOIN_INFO));
  Put("client_requests", "texts",
      Text(REQ_SAY_ALL, "hello all") + Text(REQ_CONSOLE_COMMAND, "game.listPlayers") +
          Text(REQ_SET_NEXT_MAP, "hue,conquest,bfvietnam") + Text(REQ_KICK_PLAYER, "1") +
          Text(REQ_BAN_PLAYER, "Bob") + Text(REQ_SET_PASSWORD, "newpass"));
  Put("client_requests", "upload_schedule",
      U32(REQ_PUT_SCHEDULE) + Transfer("1700000000,stop,daily,*,*,1\n") + U32(REQ_GET_SCHEDULE));
  Put("client_requests", "upload_users",
      U32(REQ_PUT_USERS) + Transfer("fuzz,fuzz,,4294967295,1\nnew,pw,,3,1\n"));
  Put("client_requests", "upload_settings",
      U32(REQ_PUT_SETTINGS) +
          Transfer("game.serverName \"Fuzzed\"\r\ngame.serverMaxPlayers 32\r\n"));
  Put("client_requests", "upload_rotation",
      U32(REQ_PUT_ROTATION) + Transfer("game.setCurrentLevel hue GPM_CQ bfvietnam\n") +
          U32(REQ_PUT_BANNED_WORDS) + Transfer("cheat\n") + U32(REQ_PUT_ANNOUNCEMENTS) +
          Transfer("Welcome\n"));
}

void ArchiveSeeds() {
  using namespace keldor;
  const std::string evolution =
      "<maps><map_ name=\"hue\"/></maps><maps><map_ name=\"ia_drang\"/></maps>";
  const std::string init = "game.setGameMode GPM_CQ\ngame.setGameMode GPM_COOP\n";
  struct Case {
    const char* name;
    std::vector<RfaEntry> entries;
    RfaOptions options;
  };
  RfaOptions small;
  small.segmentSize = 64;
  RfaOptions bare;
  bare.versionHeader = false;
  const Case cases[] = {
      {"segmented",
       {{"BfVietnam/game/GameModeSettings/DefaultEvolution.wst", evolution, true}},
       small},
      {"stored",
       {{"BfVietnam/game/GameModeSettings/DefaultEvolution.wst", evolution, false}},
       bare},
      {"level", {{"init.con", init, true}, {"other/file.txt", "x", false}}, {}},
  };
  for (const Case& c : cases) {
    RfaImage image;
    if (!BuildRfaArchive(c.entries, c.options, image)) std::exit(1);
    Put("rfa_archive", c.name, Bytes(image.bytes.begin(), image.bytes.end()));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds CORPUS_DIR\n");
    return 2;
  }
  g_root = argv[1];
  ConsoleSeeds();
  StatusSeeds();
  ClientSeeds();
  ArchiveSeeds();
  return 0;
}
