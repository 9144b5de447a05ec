// The remote client service as the main loop and the other subsystems see it:
// the code families, requests, the job queue and notifications.
#pragma once

#include <cstddef>
#include <cstdint>

namespace keldor {

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

// Notifications, Keldor to clients.
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

// Sent in place of a file size when the sender could not produce the file.
constexpr std::uint32_t XFER_FAIL_MARKER = 0xBEEFBABE;

void HandleRequest(int slot);
void RunDueJobs();
// Slot 0 (Keldor itself) succeeds without sending; slots outside 0..16 fail.
bool NotifyClient(int slot, std::uint32_t code, const void* data, std::size_t size);
// Every client in use in slots 1..16 but `exceptSlot` (0 excepts nobody); always true.
bool NotifyAllClients(std::uint32_t code, const void* data, std::size_t size, int exceptSlot);

}  // namespace keldor
