// The client protocol's codes and byte layouts, shared by the daemon and by
// keldorctl: request and notification codes with their names, the transfer
// failure marker, the protocol version and the handshake, notification and
// text layouts. Nothing here touches the daemon's state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor {

constexpr std::uint8_t PROTOCOL_VERSION = 140;
constexpr std::uint32_t XFER_FAIL_MARKER = 0xBEEFBABE;

// Bits of an account's rights mask, as the login reply carries it.
constexpr std::uint32_t kRightA = 0x10;
constexpr std::uint32_t kRightT = 0x20;
constexpr std::uint32_t kRightM = 0x40;   // maps
constexpr std::uint32_t kRightP = 0x80;   // players
constexpr std::uint32_t kRightB = 0x100;  // bans
constexpr std::uint32_t kRightU = 0x200;
constexpr std::uint32_t kRightH = 0x400;
constexpr std::uint32_t kRightC = 0x800;
constexpr std::uint32_t kRightServer = 0x1000;
constexpr std::uint32_t kRightLog = 0x2000;
constexpr std::uint32_t kRightConsole = 0x10000;
constexpr std::uint32_t kRightPunkBuster = 0x20000;

// Requests, client to Keldor.
constexpr std::uint32_t REQ_GET_SETTINGS = 0xBABE0000;
constexpr std::uint32_t REQ_PUT_SETTINGS = 0xBABE0001;
constexpr std::uint32_t REQ_GET_PB_CONFIG = 0xBABE0002;
constexpr std::uint32_t REQ_PUT_PB_CONFIG = 0xBABE0003;
constexpr std::uint32_t REQ_PB_SAVE_CONFIG = 0xBABE0004;
constexpr std::uint32_t REQ_PB_LOAD_CONFIG = 0xBABE0005;
constexpr std::uint32_t REQ_GET_MODS = 0xBABE0006;
constexpr std::uint32_t REQ_GET_MAPS = 0xBABE0007;
constexpr std::uint32_t REQ_GET_ROTATION = 0xBABE0008;
constexpr std::uint32_t REQ_PUT_ROTATION = 0xBABE0009;
constexpr std::uint32_t REQ_GET_PLAYERS = 0xBABE000A;
constexpr std::uint32_t REQ_GET_CLIENTS = 0xBABE000B;
constexpr std::uint32_t REQ_GET_PLAYER_MENU = 0xBABE000C;
constexpr std::uint32_t REQ_GET_BANS = 0xBABE000D;
constexpr std::uint32_t REQ_PUT_BANS = 0xBABE000E;
constexpr std::uint32_t REQ_GET_USERS = 0xBABE000F;
constexpr std::uint32_t REQ_PUT_USERS = 0xBABE0010;
constexpr std::uint32_t REQ_GET_SCHEDULE = 0xBABE0011;
constexpr std::uint32_t REQ_PUT_SCHEDULE = 0xBABE0012;
constexpr std::uint32_t REQ_GET_STATUS = 0xBABE0013;
constexpr std::uint32_t REQ_GET_ANNOUNCEMENTS = 0xBABE0014;
constexpr std::uint32_t REQ_PUT_ANNOUNCEMENTS = 0xBABE0015;
constexpr std::uint32_t REQ_GET_BANNED_WORDS = 0xBABE0016;
constexpr std::uint32_t REQ_PUT_BANNED_WORDS = 0xBABE0017;
constexpr std::uint32_t REQ_START_SERVER = 0xBABE0018;
constexpr std::uint32_t REQ_STOP_SERVER = 0xBABE0019;
constexpr std::uint32_t REQ_TOGGLE_PAUSE = 0xBABE001A;
constexpr std::uint32_t REQ_GET_JOIN_INFO = 0xBABE001B;
constexpr std::uint32_t REQ_CHANGE_MAP = 0xBABE001C;
constexpr std::uint32_t REQ_RUN_NEXT_MAP = 0xBABE001D;
constexpr std::uint32_t REQ_SET_NEXT_MAP = 0xBABE001E;
constexpr std::uint32_t REQ_SET_IDLE_MAP = 0xBABE001F;
constexpr std::uint32_t REQ_RESTART_MAP = 0xBABE0020;
constexpr std::uint32_t REQ_KICK_PLAYER = 0xBABE0021;
constexpr std::uint32_t REQ_DISCONNECT_CLIENT = 0xBABE0022;
constexpr std::uint32_t REQ_BAN_PLAYER = 0xBABE0023;
constexpr std::uint32_t REQ_REMOVE_BAN = 0xBABE0024;
constexpr std::uint32_t REQ_CLEAR_BANS = 0xBABE0025;
constexpr std::uint32_t REQ_VERIFY_BAN_SYNC = 0xBABE0026;
constexpr std::uint32_t REQ_SYNC_TO_SERVER_BANS = 0xBABE0027;
constexpr std::uint32_t REQ_SYNC_FROM_SERVER_BANS = 0xBABE0028;
constexpr std::uint32_t REQ_SAY_ALL = 0xBABE0029;
constexpr std::uint32_t REQ_SERVER_MESSAGE = 0xBABE002A;
constexpr std::uint32_t REQ_CONSOLE_COMMAND = 0xBABE002B;
constexpr std::uint32_t REQ_SET_PASSWORD = 0xBABE002C;
constexpr std::uint32_t REQ_GET_LOG = 0xBABE002D;
constexpr std::uint32_t REQ_SCREENSHOT = 0xBABE002E;
constexpr std::uint32_t REQ_PING = 0xBABE002F;
// Keldor's own additions, which older clients never send: the metrics as a
// text reply (the Prometheus text format), and a test alert to every webhook
// target (answered with the number of targets as text).
constexpr std::uint32_t REQ_GET_METRICS = 0xBABE0030;
constexpr std::uint32_t REQ_TEST_ALERTS = 0xBABE0031;
constexpr std::uint32_t kFirstRequest = REQ_GET_SETTINGS;
constexpr std::uint32_t kLastRequest = REQ_TEST_ALERTS;

// Notifications, Keldor to clients. 0xBEEF0006, 0xBEEF0007 and 0xBEEF000F are never sent.
constexpr std::uint32_t NOTE_COMMAND_FAILED = 0xBEEF0000;
constexpr std::uint32_t NOTE_CONSOLE_COMMAND_DONE = 0xBEEF0001;
constexpr std::uint32_t NOTE_DISCONNECT = 0xBEEF0002;
constexpr std::uint32_t NOTE_SERVER_STARTED = 0xBEEF0003;
constexpr std::uint32_t NOTE_SERVER_STOPPED = 0xBEEF0004;
constexpr std::uint32_t NOTE_SERVER_CRASHED = 0xBEEF0005;
constexpr std::uint32_t NOTE_ALREADY_RUNNING = 0xBEEF0008;
constexpr std::uint32_t NOTE_ALREADY_STOPPED = 0xBEEF0009;
constexpr std::uint32_t NOTE_SETTINGS_CHANGED = 0xBEEF000A;
constexpr std::uint32_t NOTE_ROTATION_CHANGED = 0xBEEF000B;
constexpr std::uint32_t NOTE_BANS_CHANGED = 0xBEEF000C;
constexpr std::uint32_t NOTE_USERS_CHANGED = 0xBEEF000D;
constexpr std::uint32_t NOTE_SCHEDULE_CHANGED = 0xBEEF000E;
constexpr std::uint32_t NOTE_BANNED_WORDS_CHANGED = 0xBEEF0010;
constexpr std::uint32_t NOTE_PASSWORD_CHANGED = 0xBEEF0011;
constexpr std::uint32_t NOTE_BANS_IN_SYNC = 0xBEEF0012;
constexpr std::uint32_t NOTE_BANS_NOT_IN_SYNC = 0xBEEF0013;
constexpr std::uint32_t NOTE_PB_CONFIG_SAVED = 0xBEEF0014;
constexpr std::uint32_t NOTE_PB_CONFIG_LOADED = 0xBEEF0015;
constexpr std::uint32_t NOTE_GAME_PAUSED = 0xBEEF0016;
constexpr std::uint32_t NOTE_GAME_RESUMED = 0xBEEF0017;
constexpr std::uint32_t NOTE_MAP_CHANGED = 0xBEEF0018;
constexpr std::uint32_t NOTE_NEXT_MAP_RUN = 0xBEEF0019;
constexpr std::uint32_t NOTE_NEXT_MAP_SET = 0xBEEF001A;
constexpr std::uint32_t NOTE_IDLE_MAP_SET = 0xBEEF001B;
constexpr std::uint32_t NOTE_MAP_RESTARTED = 0xBEEF001C;
constexpr std::uint32_t NOTE_PLAYER_KICKED = 0xBEEF001D;
constexpr std::uint32_t NOTE_PLAYER_BANNED = 0xBEEF001E;
constexpr std::uint32_t NOTE_BAN_REMOVED = 0xBEEF001F;
constexpr std::uint32_t NOTE_BANS_CLEARED = 0xBEEF0020;
constexpr std::uint32_t NOTE_CHAT_SENT = 0xBEEF0021;
constexpr std::uint32_t NOTE_SERVER_MESSAGE_SENT = 0xBEEF0022;
constexpr std::uint32_t NOTE_CONSOLE_EVENT = 0xBEEF0023;
constexpr std::uint32_t NOTE_AUTO_KICK_WORD = 0xBEEF0024;
constexpr std::uint32_t NOTE_AUTO_BAN_SCORE = 0xBEEF0025;
constexpr std::uint32_t NOTE_AUTO_KICK_SCORE = 0xBEEF0026;
constexpr std::uint32_t NOTE_AUTO_KICK_PING = 0xBEEF0027;
constexpr std::uint32_t NOTE_SCREENSHOT_REQUESTED = 0xBEEF0028;
constexpr std::uint32_t NOTE_PONG = 0xBEEF0029;
constexpr std::uint32_t NOTE_SERVER_HUNG = 0xBEEF002A;
constexpr std::uint32_t kFirstNote = NOTE_COMMAND_FAILED;
constexpr std::uint32_t kLastNote = NOTE_SERVER_HUNG;

// "REQ_PING", "NOTE_PONG", ...; null for a code that is not one of them.
const char* RequestName(std::uint32_t code);
const char* NoteName(std::uint32_t code);

// Handshake results (the byte Keldor answers the credentials with).
constexpr std::uint8_t kLoginResultMax = 7;
constexpr std::uint8_t kLoginNoFreeSlot = 7;

// A credential field: a NUL-terminated text of at most 31 characters in 32
// bytes, enciphered as a whole.
constexpr std::size_t kCredentialFieldSize = 32;
constexpr std::size_t kCredentialTextMax = kCredentialFieldSize - 1;
using CredentialField = std::array<std::uint8_t, kCredentialFieldSize>;

// The text cut to 31 characters, zero-filled and enciphered.
CredentialField EncodeCredential(const std::string& text);
// Deciphers a received field; the text ends at its first NUL, at the latest after 31 characters.
std::string DecodeCredential(CredentialField field);

// What Keldor sends after result 0: the rights mask, then its protocol version.
constexpr std::size_t kLoginGrantSize = 5;
using LoginGrant = std::array<std::uint8_t, kLoginGrantSize>;
LoginGrant EncodeLoginGrant(std::uint32_t rights);
void DecodeLoginGrant(const LoginGrant& grant, std::uint32_t* rights, std::uint8_t* version);

// A notification's fixed part (code, data length) and a text payload's or
// reply's length word: each a run of 32-bit little-endian words.
constexpr std::size_t kNoteHeaderSize = 8;
using NoteHeader = std::array<std::uint8_t, kNoteHeaderSize>;
NoteHeader EncodeNoteHeader(std::uint32_t code, std::uint32_t length);
void DecodeNoteHeader(const NoteHeader& header, std::uint32_t* code, std::uint32_t* length);

using Word = std::array<std::uint8_t, 4>;
Word EncodeWord(std::uint32_t value);
std::uint32_t DecodeWord(const Word& word);

}  // namespace keldor
