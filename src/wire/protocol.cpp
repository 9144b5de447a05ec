// The client protocol's code names and the encoding of its small fixed layouts.
#include "wire/protocol.h"

#include <cstring>

#include "core/bytes.h"
#include "wire/cipher.h"

namespace keldor {

namespace {

const char* const kRequestNames[] = {
    "REQ_GET_SETTINGS",
    "REQ_PUT_SETTINGS",
    "REQ_GET_PB_CONFIG",
    "REQ_PUT_PB_CONFIG",
    "REQ_PB_SAVE_CONFIG",
    "REQ_PB_LOAD_CONFIG",
    "REQ_GET_MODS",
    "REQ_GET_MAPS",
    "REQ_GET_ROTATION",
    "REQ_PUT_ROTATION",
    "REQ_GET_PLAYERS",
    "REQ_GET_CLIENTS",
    "REQ_GET_PLAYER_MENU",
    "REQ_GET_BANS",
    "REQ_PUT_BANS",
    "REQ_GET_USERS",
    "REQ_PUT_USERS",
    "REQ_GET_SCHEDULE",
    "REQ_PUT_SCHEDULE",
    "REQ_GET_STATUS",
    "REQ_GET_ANNOUNCEMENTS",
    "REQ_PUT_ANNOUNCEMENTS",
    "REQ_GET_BANNED_WORDS",
    "REQ_PUT_BANNED_WORDS",
    "REQ_START_SERVER",
    "REQ_STOP_SERVER",
    "REQ_TOGGLE_PAUSE",
    "REQ_GET_JOIN_INFO",
    "REQ_CHANGE_MAP",
    "REQ_RUN_NEXT_MAP",
    "REQ_SET_NEXT_MAP",
    "REQ_SET_IDLE_MAP",
    "REQ_RESTART_MAP",
    "REQ_KICK_PLAYER",
    "REQ_DISCONNECT_CLIENT",
    "REQ_BAN_PLAYER",
    "REQ_REMOVE_BAN",
    "REQ_CLEAR_BANS",
    "REQ_VERIFY_BAN_SYNC",
    "REQ_SYNC_TO_SERVER_BANS",
    "REQ_SYNC_FROM_SERVER_BANS",
    "REQ_SAY_ALL",
    "REQ_SERVER_MESSAGE",
    "REQ_CONSOLE_COMMAND",
    "REQ_SET_PASSWORD",
    "REQ_GET_LOG",
    "REQ_SCREENSHOT",
    "REQ_PING",
    "REQ_GET_METRICS",
    "REQ_TEST_ALERTS",
};
static_assert(sizeof kRequestNames / sizeof kRequestNames[0] == kLastRequest - kFirstRequest + 1);

// Indexed by code - kFirstNote; null for the codes that are never sent.
const char* const kNoteNames[] = {
    "NOTE_COMMAND_FAILED",
    "NOTE_CONSOLE_COMMAND_DONE",
    "NOTE_DISCONNECT",
    "NOTE_SERVER_STARTED",
    "NOTE_SERVER_STOPPED",
    "NOTE_SERVER_CRASHED",
    nullptr,
    nullptr,
    "NOTE_ALREADY_RUNNING",
    "NOTE_ALREADY_STOPPED",
    "NOTE_SETTINGS_CHANGED",
    "NOTE_ROTATION_CHANGED",
    "NOTE_BANS_CHANGED",
    "NOTE_USERS_CHANGED",
    "NOTE_SCHEDULE_CHANGED",
    nullptr,
    "NOTE_BANNED_WORDS_CHANGED",
    "NOTE_PASSWORD_CHANGED",
    "NOTE_BANS_IN_SYNC",
    "NOTE_BANS_NOT_IN_SYNC",
    "NOTE_PB_CONFIG_SAVED",
    "NOTE_PB_CONFIG_LOADED",
    "NOTE_GAME_PAUSED",
    "NOTE_GAME_RESUMED",
    "NOTE_MAP_CHANGED",
    "NOTE_NEXT_MAP_RUN",
    "NOTE_NEXT_MAP_SET",
    "NOTE_IDLE_MAP_SET",
    "NOTE_MAP_RESTARTED",
    "NOTE_PLAYER_KICKED",
    "NOTE_PLAYER_BANNED",
    "NOTE_BAN_REMOVED",
    "NOTE_BANS_CLEARED",
    "NOTE_CHAT_SENT",
    "NOTE_SERVER_MESSAGE_SENT",
    "NOTE_CONSOLE_EVENT",
    "NOTE_AUTO_KICK_WORD",
    "NOTE_AUTO_BAN_SCORE",
    "NOTE_AUTO_KICK_SCORE",
    "NOTE_AUTO_KICK_PING",
    "NOTE_SCREENSHOT_REQUESTED",
    "NOTE_PONG",
    "NOTE_SERVER_HUNG",
};
static_assert(sizeof kNoteNames / sizeof kNoteNames[0] == kLastNote - kFirstNote + 1);

}  // namespace

const char* RequestName(std::uint32_t code) {
  if (code < kFirstRequest || code > kLastRequest) return nullptr;
  return kRequestNames[code - kFirstRequest];
}

const char* NoteName(std::uint32_t code) {
  if (code < kFirstNote || code > kLastNote) return nullptr;
  return kNoteNames[code - kFirstNote];
}

CredentialField EncodeCredential(const std::string& text) {
  CredentialField field{};
  const std::size_t length = text.size() < kCredentialTextMax ? text.size() : kCredentialTextMax;
  ByteWriter writer(field.data(), field.size());
  writer.PutBytes(text.data(), length);
  writer.PutZeros(writer.Room());
  CredentialTransform(field.data(), field.size());
  return field;
}

std::string DecodeCredential(CredentialField field) {
  CredentialTransform(field.data(), field.size());
  const auto* begin = reinterpret_cast<const char*>(field.data());
  return std::string(begin, strnlen(begin, kCredentialTextMax));
}

LoginGrant EncodeLoginGrant(std::uint32_t rights) {
  LoginGrant grant{};
  ByteWriter writer(grant.data(), grant.size());
  writer.PutU32(rights);
  writer.PutU8(PROTOCOL_VERSION);
  return grant;
}

void DecodeLoginGrant(const LoginGrant& grant, std::uint32_t* rights, std::uint8_t* version) {
  ByteReader reader(grant.data(), grant.size());
  reader.GetU32(*rights);
  reader.GetU8(*version);
}

NoteHeader EncodeNoteHeader(std::uint32_t code, std::uint32_t length) {
  NoteHeader header{};
  ByteWriter writer(header.data(), header.size());
  writer.PutU32(code);
  writer.PutU32(length);
  return header;
}

void DecodeNoteHeader(const NoteHeader& header, std::uint32_t* code, std::uint32_t* length) {
  ByteReader reader(header.data(), header.size());
  reader.GetU32(*code);
  reader.GetU32(*length);
}

Word EncodeWord(std::uint32_t value) {
  Word word{};
  ByteWriter writer(word.data(), word.size());
  writer.PutU32(value);
  return word;
}

std::uint32_t DecodeWord(const Word& word) {
  ByteReader reader(word.data(), word.size());
  std::uint32_t value = 0;
  reader.GetU32(value);
  return value;
}

}  // namespace keldor
