// The command queue: every game action Keldor takes (for a client, a timer, the
// policing or the scheduler) waits here as a job until it is due. The queue is
// low so that any subsystem can queue work; the runner, set at start-up, hands
// each job to the subsystem that owns its action.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace keldor {

// Job codes: internal, never on the wire.
constexpr std::uint32_t JOB_CONNECT_CONSOLE = 0xB00B0000;
constexpr std::uint32_t JOB_BROADCAST = 0xB00B0002;
constexpr std::uint32_t JOB_DISCONNECT_CLIENT = 0xB00B0003;
constexpr std::uint32_t JOB_EXPIRE_BANS = 0xB00B0004;
constexpr std::uint32_t JOB_POLICE_PLAYERS = 0xB00B0005;
constexpr std::uint32_t JOB_ANNOUNCE = 0xB00B0006;
constexpr std::uint32_t JOB_TOGGLE_PAUSE = 0xB00B0009;
constexpr std::uint32_t JOB_CHANGE_MAP = 0xB00B000A;
constexpr std::uint32_t JOB_RUN_NEXT_MAP = 0xB00B000B;
constexpr std::uint32_t JOB_SET_NEXT_MAP = 0xB00B000C;
constexpr std::uint32_t JOB_SET_IDLE_MAP = 0xB00B000D;
constexpr std::uint32_t JOB_RESTART_MAP = 0xB00B000E;
constexpr std::uint32_t JOB_KICK_PLAYER = 0xB00B000F;
constexpr std::uint32_t JOB_BAN_PLAYER = 0xB00B0010;
constexpr std::uint32_t JOB_REMOVE_BAN = 0xB00B0011;
constexpr std::uint32_t JOB_CLEAR_BANS = 0xB00B0012;
constexpr std::uint32_t JOB_VERIFY_BAN_SYNC = 0xB00B0013;
constexpr std::uint32_t JOB_SYNC_TO_SERVER_BANS = 0xB00B0014;
constexpr std::uint32_t JOB_SYNC_FROM_SERVER_BANS = 0xB00B0015;
constexpr std::uint32_t JOB_SAY_ALL = 0xB00B0016;
constexpr std::uint32_t JOB_SERVER_MESSAGE = 0xB00B0017;
constexpr std::uint32_t JOB_CONSOLE_COMMAND = 0xB00B0018;
constexpr std::uint32_t JOB_SET_PASSWORD = 0xB00B0019;
constexpr std::uint32_t JOB_SCREENSHOT = 0xB00B001A;
constexpr std::uint32_t JOB_REFRESH_PLAYERS = 0xB00B001B;
constexpr std::uint32_t JOB_PB_SAVE_CONFIG = 0xB00B001E;
constexpr std::uint32_t JOB_PB_LOAD_CONFIG = 0xB00B001F;
constexpr std::uint32_t JOB_CONSOLE_POLL = 0xB00B0020;
constexpr std::uint32_t kFirstJobCode = JOB_CONNECT_CONSOLE;
constexpr std::uint32_t kLastJobCode = JOB_CONSOLE_POLL;

constexpr std::size_t kQueueCapacity = 32;
constexpr std::size_t kJobTextMax = 255;      // a job's argument, characters
constexpr std::size_t kMessagePieceMax = 63;  // one chat line or server message
constexpr std::size_t kMapComboMax = 127;
constexpr unsigned kKickDelaySeconds = 12;  // Keldor's own kicks and bans, unless -nodelay
// A chat text's blanks travel to the game as this byte.
constexpr char kChatBlank = static_cast<char>(0x80);
// Byte that ends each field of a ban job's text.
constexpr char kBanFieldEnd = static_cast<char>(0xFF);

struct QueuedCommand {
  std::uint32_t code = 0;  // 0: entry free
  std::string text;        // at most kJobTextMax characters
  std::int32_t actor = 0;  // slot 0..16, or 0xFF00 + account for an in-game admin
  std::time_t due = 0;     // monotonic seconds
};

using CommandQueue = std::array<QueuedCommand, kQueueCapacity>;

const CommandQueue& JobQueue();
// Drops every waiting job.
void ClearJobQueue();

// Appends a job due `delay` seconds from now. False, with a log line, when the
// queue is full and the job was dropped, so that whoever asked can be told.
bool QueueJob(std::uint32_t code, const char* text, std::int32_t actor, unsigned delay);
// As QueueJob, unless a job with the same code is already waiting (true then).
bool QueueJobOnce(std::uint32_t code, const char* text, std::int32_t actor, unsigned delay);

// The delay for kicks and bans Keldor decides itself: 12 s, or 0 with -nodelay.
unsigned KickDelay();

// Who a job is carried out for, as the subsystem that carries it out logs
// them: a client's user name and address, or Keldor's own ("operator",
// "console").
struct Actor {
  std::string name;
  std::string address;
};

// A number field of a job's text: the whole text, in decimal, within
// [min, max]; false for an empty text, stray characters or a value out of range.
bool ParseJobNumber(const std::string& text, long long min, long long max, long long& value);

// The runner is wiring, not state (see ConnectSubsystems): ResetAllState
// leaves it in place.
using JobRunner = void (*)(const QueuedCommand& job);
void SetJobRunner(JobRunner runner);

// Runs every job whose time has come, in queueing order, through the runner.
void RunDueJobs();

}  // namespace keldor
