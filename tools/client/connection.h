// The client side of the client protocol: the connection, the login
// handshake, requests, and the messages Keldor sends back (notifications and
// text replies).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace keldorclient {

// Nothing Keldor sends legitimately comes near these; more is taken as a broken stream.
constexpr std::uint32_t kMaxNoteData = 1U << 20;
constexpr std::uint32_t kMaxTextReply = 1U << 20;
constexpr std::uint32_t kMaxFile = 16U << 20;  // Keldor's own cap on a transfer
constexpr int kWaitForever = -1;
// The result "no remote access is permitted"; from an address shut out for
// guessing passwords it is followed by one byte, the minutes left of the lockout.
constexpr int kLoginNoRemoteAccess = 5;
// How long the byte after that result may take: it is sent together with it.
constexpr int kLockoutByteWaitMs = 1000;

struct LoginOutcome {
  bool answered = false;  // a result byte arrived
  int result = -1;        // 0 accepted, 1..7 refused
  std::uint32_t rights = 0;
  bool versionMatches = false;
  bool serverRunning = false;
  int lockoutMinutes = 0;  // result 5 from an address shut out: the minutes left
};

// One message from Keldor: a notification, or the text reply to a request.
struct Message {
  bool isNote = false;
  std::uint32_t code = 0;   // notifications only
  std::string data;         // the note's data, or the reply's text (without its NUL)
  bool emptyReply = false;  // a text reply of length 0: the information is not available
};

class Connection {
 public:
  Connection() = default;
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connects within Timeout() seconds.
  bool Open(const std::string& host, int port);
  // Runs the whole handshake, each answer within Timeout() seconds; false when
  // the exchange broke (see Error()). An accepted login keeps its rights mask;
  // a lockout leaves its text (LoginRefusalText) in Error().
  bool Login(const std::string& user, const std::string& password, LoginOutcome* outcome);
  bool SendRequest(std::uint32_t code);
  bool SendTextRequest(std::uint32_t code, const std::string& text);
  // The next message, waiting at most `timeoutSeconds` for each part (kWaitForever: no limit).
  bool Receive(Message* message, int timeoutSeconds);
  // Reads until the text reply arrives; notifications before it are handed to `onNote`.
  template <typename OnNote>
  bool ReceiveReply(Message* reply, int timeoutSeconds, OnNote onNote) {
    for (;;) {
      if (!Receive(reply, timeoutSeconds)) return false;
      if (!reply->isNote) return true;
      if (!onNote(*reply)) return false;
    }
  }

  // The file-transfer message that answers a download, unpacked and checked.
  // Notifications before it go to `onNote` (false from it ends the wait);
  // NOTE_PONG ends it too, with `refused` set: the ping sent behind the request
  // came back first, so Keldor sent no file. `failed` is set for the failure marker.
  struct FileReply {
    std::string content;
    bool failed = false;
    bool refused = false;
  };
  bool ReceiveFile(FileReply* reply, int timeoutSeconds,
                   const std::function<bool(const Message&)>& onNote);
  bool SendBytes(const std::string& bytes) { return WriteAll(bytes.data(), bytes.size()); }

  // How long a connect or a reply may take, in seconds.
  int Timeout() const { return timeout_; }
  void SetTimeout(int seconds) { timeout_ = seconds; }
  // The account's rights mask, once the login was accepted.
  std::uint32_t Rights() const { return rights_; }
  // The code of the last request sent other than a ping; 0 before the first.
  std::uint32_t LastRequest() const { return lastRequest_; }

  // The socket, for a caller that waits on it together with other things.
  int Socket() const { return socket_; }
  // Ends every wait on the connection at once, a connect under way included
  // (and no further address is tried); safe from another thread.
  void Shutdown();

  const std::string& Error() const { return error_; }
  void SetError(const std::string& error) { error_ = error; }
  bool Interrupted() const { return interrupted_; }

 private:
  bool ReadExact(void* buffer, std::size_t size, int timeoutSeconds);
  bool ReadWord(std::uint32_t* value, int timeoutSeconds);
  // The byte that may follow result 5: the minutes left of a lockout, 0 when none came.
  int ReadLockoutMinutes();
  // The length and data of a notification whose code has been read.
  bool ReadNoteRest(std::uint32_t code, Message* message, int timeoutSeconds);
  bool WriteAll(const void* buffer, std::size_t size);

  std::atomic<int> socket_ = -1;
  // The socket while it connects, guarded so that Shutdown never reaches a
  // number that has been closed (and may be another socket's by then).
  std::mutex connectingMutex_;
  int connecting_ = -1;
  bool shut_ = false;
  int timeout_ = 30;
  std::uint32_t rights_ = 0;
  std::uint32_t lastRequest_ = 0;
  std::string error_;
  bool interrupted_ = false;
};

// What a client shows for a lockout with `minutes` left.
std::string LockoutText(int minutes);

// Set from the SIGINT/SIGTERM handler; a wait that sees it ends.
void RequestStop();

}  // namespace keldorclient
