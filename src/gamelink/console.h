// The game server's remote console link: the one TCP connection over which
// every console command goes to the game and its event lines come back.
// Requests are synchronous; a response is complete when the call returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace keldor {

constexpr std::size_t kConsoleBufferStep = 2048;  // first size and least growth of each buffer
constexpr std::size_t kConsoleTextMax = 2047;     // a formatted command text is cut to this
// No buffer grows beyond this, whatever the game announces: a reply that would
// need more is refused and the link dropped. Generous: a full player list or
// settings read-back is a few KiB.
constexpr std::size_t kConsoleBufferLimit = 4 * 1024 * 1024;
// At most this many strings in one reply; more is refused and the link dropped.
constexpr std::uint32_t kConsoleMaxStrings = 65536;
constexpr std::size_t kConsoleLoginKeySize = 10;

struct ConsoleLink {
  int socket = -1;
  bool connected = false;  // set after a successful login; test it before using the link
  std::int32_t channel = 0;
  // Monotonic milliseconds when the game last sent anything over the link (a
  // login key, a verdict, any part of a reply); 0: never. The hang watch takes
  // it as a sign of life; a link that is dropped keeps it.
  long long lastReceivedAt = 0;
  // The credentials this link logs in with: ConnectConsole takes them from the
  // console credentials in use (GameServer().consoleUser / consolePass), cut to 31.
  std::string user;
  std::string password;
  // Allocated on first use, reused and only grown (up to kConsoleBufferLimit) for
  // the life of the process; the size of each vector is its capacity.
  std::vector<char> outputBuffer;    // collected text of ReadConsoleOutput
  std::vector<char> requestBuffer;   // encoded request of SendConsoleMessage
  std::vector<char> responseBuffer;  // collected text of SendConsoleMessage
};

ConsoleLink& Console();

// Closes any socket and puts the link back to its start (tests, ResetAllState).
void ResetConsoleLink();

// Connects and logs in to the game console, then brings the connection's facts
// up to date. False with ErrorCode on failure (0: nothing worth logging).
bool ConnectConsole();

// Closes the socket, forgets the connection's facts and logs "Disconnected".
void DisconnectConsole();

// A send or receive on the link failed: reports errno and disconnects. Always false.
bool DropConsoleLink();

// Sends the formatted text (cut to 2047 characters) as one console command and
// returns the collected response text, valid until the next call; null on
// failure. Every line break in the text is sent as a blank: a player's name, a
// reason or a chat text must never end the command and start a second one.
const char* SendConsoleMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sends several console commands in one request (at most 2047 characters in
// all), each made one line as above; the response as SendConsoleMessage.
const char* SendConsoleCommands(const std::vector<std::string>& commands);

// Sends a text whose lines are console commands as they stand: the text is
// split at each newline, a final newline ends the last line rather than adding
// an empty one, and two newlines in a row send an empty line. Only for text an
// administrator with the console right wrote; anything else goes through
// SendConsoleMessage. Cut to 2047 characters; the response as SendConsoleMessage.
const char* SendConsoleLines(const std::string& text);

// The text with each line break (LF, CR, VT, FF) replaced by a blank.
std::string OneConsoleLine(std::string text);

// Sends the players a message: "admin.serverMessage", or "game.sayAll" with
// -noadmin. The caller begins the text with "[KELDOR] ". False when the command failed.
bool MessagePlayers(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Fetches the console's pending output; the text is valid until the next call; null on failure.
const char* ReadConsoleOutput();

// At shutdown: reads and discards what the console still has pending and closes
// the socket, without the "Disconnected" line.
void CloseConsoleAtShutdown();

}  // namespace keldor
