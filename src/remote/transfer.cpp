// File transfer with clients: see transfer.h.
#include "remote/transfer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/clock.h"
#include "core/error.h"
#include "core/helpers.h"
#include "core/log.h"
#include "core/net.h"
#include "gamelink/console.h"
#include "gamelink/player_table.h"
#include "gamelink/status_query.h"
#include "maps/discovery.h"
#include "maps/installed.h"
#include "policing/banned_words.h"
#include "process/server_process.h"
#include "remote/accounts.h"
#include "remote/dispatch.h"
#include "remote/rollback.h"
#include "remote/service.h"
#include "remote/sessions.h"
#include "runtime/game_server.h"
#include "runtime/options.h"
#include "schedule/scheduler.h"
#include "settings/game_config.h"
#include "settings/settings.h"
#include "wire/transfer_frame.h"

namespace keldor {

namespace {

constexpr int kOutOfMemory = 12;

// The client's dotted address for the log lines.
std::string PeerAddress(int slot) {
  const std::string& address = Connections()[slot].address;
  return address.empty() ? "[unknown]" : address.substr(0, address.find(':'));
}

std::uint32_t WordAt(std::string_view bytes, std::size_t at) {
  if (at + 4 > bytes.size()) return 0;
  Word word{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), word.size(), word.begin());
  return DecodeWord(word);
}

// A file's content as unpacked from an upload. The buffer is left
// uninitialised: the decompressor fills it, and zeroing megabytes first would
// only cost time.
struct FileContent {
  std::unique_ptr<char[]> bytes;
  std::size_t size = 0;
  bool Allocate(std::size_t length) {
    bytes.reset(new (std::nothrow) char[length == 0 ? 1 : length]);
    size = length;
    return bytes != nullptr || Fail(kOutOfMemory);
  }
};

// The target is either the old file or the whole new one, written from the
// buffer the content was unpacked into.
bool StoreFile(const std::string& path, const FileContent& content, mode_t widestMode) {
  return ReplaceFile(path, widestMode, [&content](std::FILE* file) {
    return content.size == 0 ||
           std::fwrite(content.bytes.get(), 1, content.size, file) == content.size;
  });
}

bool SendFailure(const std::string& path, int slot, int code) {
  const Word marker = EncodeWord(XFER_FAIL_MARKER);
  SendToClient(slot, marker.data(), marker.size());
  ErrorCode() = code;
  if (!MayLogRefusal(slot)) return false;
  LogMessage(kLogInfo, "Couldn't send %s to peer at %s! %s", path.c_str(),
             PeerAddress(slot).c_str(), ErrorText(code));
  return false;
}

bool ReceiveFailure(const std::string& path, const std::string& address) {
  LogMessage(kLogInfo, "Couldn't receive %s from peer at %s! %s", path.c_str(), address.c_str(),
             ErrorText(ErrorCode()));
  return false;
}

// Where a file of the exchange table lives.
enum class Place { kServerDir, kSettingsDir, kLog };

struct FileRequest {
  std::uint32_t request;
  Place place;
  const char* name;
  bool temporary;  // written just for the transfer and removed after it
};

constexpr FileRequest kDownloads[] = {
    {REQ_GET_SETTINGS, Place::kServerDir, "servermanager.con", true},
    {REQ_GET_PB_CONFIG, Place::kServerDir, "pb/pbsv.cfg", false},
    {REQ_GET_MODS, Place::kSettingsDir, "mods.con", false},
    {REQ_GET_MAPS, Place::kSettingsDir, "maps.con", false},
    {REQ_GET_ROTATION, Place::kSettingsDir, "servermaplist.con", false},
    {REQ_GET_PLAYERS, Place::kServerDir, "playerlist.con", true},
    {REQ_GET_CLIENTS, Place::kServerDir, "clientlist.con", true},
    {REQ_GET_PLAYER_MENU, Place::kSettingsDir, "playermenu.con", false},
    {REQ_GET_BANS, Place::kSettingsDir, "serverbanlist.con", false},
    {REQ_GET_USERS, Place::kServerDir, "useraccess.con", true},
    {REQ_GET_SCHEDULE, Place::kSettingsDir, "serverschedule.con", false},
    {REQ_GET_ANNOUNCEMENTS, Place::kSettingsDir, "announcements.con", false},
    {REQ_GET_BANNED_WORDS, Place::kSettingsDir, "bannedwords.con", false},
    {REQ_GET_LOG, Place::kLog, "keldor.log", false},
};

constexpr FileRequest kUploads[] = {
    {REQ_PUT_SETTINGS, Place::kServerDir, "servermanager.con", true},
    {REQ_PUT_PB_CONFIG, Place::kServerDir, "pb/pbsv.cfg", false},
    {REQ_PUT_ROTATION, Place::kSettingsDir, "servermaplist.con", false},
    {REQ_PUT_BANS, Place::kSettingsDir, "serverbanlist.con", false},
    {REQ_PUT_USERS, Place::kServerDir, "useraccess.con", true},
    {REQ_PUT_SCHEDULE, Place::kSettingsDir, "serverschedule.con", false},
    {REQ_PUT_ANNOUNCEMENTS, Place::kSettingsDir, "announcements.con", false},
    {REQ_PUT_BANNED_WORDS, Place::kSettingsDir, "bannedwords.con", false},
};

template <std::size_t N>
const FileRequest* Find(const FileRequest (&table)[N], std::uint32_t request) {
  for (const FileRequest& entry : table) {
    if (entry.request == request) return &entry;
  }
  return nullptr;
}

std::string PathOf(const FileRequest& entry) {
  switch (entry.place) {
    case Place::kServerDir:
      return Opts().serverDir + "/" + entry.name;
    case Place::kSettingsDir:
      return Opts().settingsDir + "/" + entry.name;
    case Place::kLog:
      break;
  }
  return LogFilePath();
}

// The log is sent whole up to 32 KiB; beyond that (or when its size is unknown)
// its tail goes through a private temporary file, which no other user can
// plant a link at.
bool SendLog(Connection& client) {
  const int slot = SlotOf(client);
  const std::string log = LogFilePath();
  struct stat st;
  if (stat(log.c_str(), &st) == 0 && st.st_size <= static_cast<off_t>(kLogTailSize)) {
    return SendFile(log, client);
  }
  std::string tail;
  if (!CopyLogTail(&tail)) return SendFailure(log, slot, ErrorCode() != 0 ? ErrorCode() : EIO);
  const bool sent = SendFile(tail, client);
  unlink(tail.c_str());
  return sent;
}

void PrepareDownload(std::uint32_t request, int slot, const std::string& path) {
  switch (request) {
    case REQ_GET_SETTINGS:
      SaveSettingsFile(path, static_cast<std::int32_t>(ActorRights(slot)));
      break;
    case REQ_GET_PB_CONFIG:
      // The game writes the file itself; give it a moment to do so.
      if (Console().connected && PunkBusterEnabled() &&
          SendConsoleMessage("pb_sv_writecfg") != nullptr) {
        SleepSeconds(1);
      }
      break;
    case REQ_GET_MODS:
      WriteModsFile(path);
      break;
    case REQ_GET_MAPS:
      WriteMapsFile(path);
      break;
    case REQ_GET_PLAYERS:
      GetPlayerList();
      WritePlayerListFile(path);
      break;
    case REQ_GET_CLIENTS:
      WriteClientList(path);
      break;
    case REQ_GET_USERS:
      WriteUserListFor(path, slot);
      break;
    default:
      break;
  }
}

bool EmptyFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && st.st_size == 0;
}

// An upload whose file was stored but could not be taken into use: the
// uploader hears of it, and no other client is told that anything changed.
void ReloadFailed(int slot, const char* what, const char* u, const char* a) {
  NotifyClient(slot, NOTE_COMMAND_FAILED, nullptr, 0);
  if (!MayLogRefusal(slot)) return;
  LogMessage(kLogInfo, "Couldn't apply the %s uploaded by user %s at %s! %s", what, u, a,
             ErrorText(ErrorCode()));
}

void RefusedSettings(int slot, const std::vector<std::string>& refused, const char* u,
                     const char* a) {
  NotifyClient(slot, NOTE_COMMAND_FAILED, nullptr, 0);
  if (!MayLogRefusal(slot)) return;
  std::string names;
  for (const std::string& name : refused) names += (names.empty() ? "" : ", ") + name;
  LogMessage(kLogInfo, "Couldn't apply every setting uploaded by user %s at %s! Refused: %s.", u, a,
             names.c_str());
}

// The events that were taken stand; the uploader hears that some lines were not.
void SkippedEvents(int slot, const std::vector<std::size_t>& lines, const char* u, const char* a) {
  NotifyClient(slot, NOTE_COMMAND_FAILED, nullptr, 0);
  if (!MayLogRefusal(slot)) return;
  std::string numbers;
  for (const std::size_t line : lines) {
    numbers += (numbers.empty() ? "" : ", ") + std::to_string(line);
  }
  LogMessage(kLogInfo,
             "Couldn't load every event of the schedule uploaded by user %s at %s! Skipped "
             "lines: %s.",
             u, a, numbers.c_str());
}

void FollowUpload(std::uint32_t request, int slot, const std::string& path) {
  const std::string user = ActorName(slot);
  const std::string address = ActorAddress(slot);
  const char* u = user.c_str();
  const char* a = address.c_str();
  ErrorCode() = 0;
  switch (request) {
    case REQ_PUT_SETTINGS: {
      std::vector<std::string> refused;
      if (!ApplyClientSettings(path, static_cast<std::int32_t>(ActorRights(slot)), slot,
                               &refused)) {
        return ReloadFailed(slot, "settings", u, a);
      }
      NotifyAllClients(NOTE_SETTINGS_CHANGED, nullptr, 0, slot);
      // The rest of the file was taken; the uploader hears that not all of it was.
      if (!refused.empty()) RefusedSettings(slot, refused, u, a);
      break;
    }
    case REQ_PUT_PB_CONFIG:
      LogMessage(kLogInfo, "User %s at %s updated the PunkBuster server config.", u, a);
      break;
    case REQ_PUT_ROTATION:
      NotifyAllClients(NOTE_ROTATION_CHANGED, nullptr, 0, slot);
      LogMessage(kLogInfo, "User %s at %s updated the map rotation.", u, a);
      if (EmptyFile(path)) {
        LogMessage(kLogInfo, "WARNING: User %s at %s saved an empty map rotation!", u, a);
      }
      break;
    case REQ_PUT_BANS:
      NotifyAllClients(NOTE_BANS_CHANGED, nullptr, 0, slot);
      LogMessage(kLogInfo, "User %s at %s updated the banlist.", u, a);
      break;
    case REQ_PUT_USERS: {
      const bool merged = MergeUserList(path, slot);
      std::remove(path.c_str());
      if (!merged) return ReloadFailed(slot, "user list", u, a);
      NotifyAllClients(NOTE_USERS_CHANGED, nullptr, 0, slot);
      LogMessage(kLogInfo, "User %s at %s updated the user list.", u, a);
      break;
    }
    case REQ_PUT_SCHEDULE: {
      std::vector<std::size_t> skipped;
      if (!LoadSchedule(path, &skipped)) return ReloadFailed(slot, "event schedule", u, a);
      NotifyAllClients(NOTE_SCHEDULE_CHANGED, nullptr, 0, slot);
      LogMessage(kLogInfo, "User %s at %s updated the event schedule.", u, a);
      if (!skipped.empty()) SkippedEvents(slot, skipped, u, a);
      break;
    }
    case REQ_PUT_ANNOUNCEMENTS:
      LogMessage(kLogInfo, "User %s at %s updated the announcements.", u, a);
      break;
    case REQ_PUT_BANNED_WORDS:
      if (!LoadBannedWords()) return ReloadFailed(slot, "banned words", u, a);
      NotifyAllClients(NOTE_BANNED_WORDS_CHANGED, nullptr, 0, slot);
      LogMessage(kLogInfo, "User %s at %s updated the banned words.", u, a);
      break;
    default:
      break;
  }
}

// The checks and the decoding of one whole message; false with ErrorCode, the
// failure's line left to the caller.
bool DecodeMessage(const std::string& address, std::string_view message, FileContent* content) {
  const std::uint32_t size = WordAt(message, 0);
  if (message.size() < 4 || size == XFER_FAIL_MARKER) {
    return Fail(kErrTransferHeader);
  }
  if (size == 0) return content->Allocate(0);
  const std::uint32_t packedSize = WordAt(message, 4);
  const std::uint32_t checksum = WordAt(message, 8);
  if (size > kTransferMax || packedSize == 0 || packedSize > PackedBound(size) ||
      message.size() != kTransferHeaderSize + packedSize) {
    LogMessage(kLogInfo,
               "SECURITY ALERT! Peer at %s announced a file of %u bytes (%u compressed); at most "
               "%u are taken.",
               address.c_str(), size, packedSize, kTransferMax);
    return Fail(kErrTransferHeader);
  }
  const char* packed = message.data() + kTransferHeaderSize;
  const std::uint32_t sum = TransferChecksum(packed, packedSize);
  if (sum != checksum) return Fail(kErrTransferChecksum);
  if (!content->Allocate(size)) return false;
  const int error = DecodeTransferInto({size, packedSize, checksum}, packed, packedSize, sum,
                                       content->bytes.get());
  return error == 0 || Fail(error);
}

bool StoreMessage(const std::string& path, const std::string& address, std::string_view message,
                  mode_t widestMode) {
  FileContent content;
  return DecodeMessage(address, message, &content) && StoreFile(path, content, widestMode);
}

// The compressed bytes were summed as they arrived; they are unpacked from a
// mapping of the spool, with no copy of them made, into the buffer that is
// written out.
bool DecodeSpool(const Inflow& inflow, FileContent* content) {
  if (inflow.error != 0) return Fail(inflow.error);
  const std::size_t packedSize = inflow.header.packedSize;
  const FileMapping packed(inflow.spool.get(), packedSize);
  if (packedSize > 0 && packed.data() == nullptr) return Fail(errno);
  if (!content->Allocate(inflow.header.size)) return false;
  const int error = DecodeTransferInto(inflow.header, packed.data(), packedSize, inflow.checksum,
                                       content->bytes.get());
  return error == 0 || Fail(error);
}

// A rotation naming a map that is not installed is refused whole, so that the
// game never starts on it; the stored rotation stays as it was.
bool RotationRefused(std::uint32_t request, int slot, const FileContent& content) {
  if (request != REQ_PUT_ROTATION) return false;
  const std::string refusal = RotationRefusal(std::string(content.bytes.get(), content.size));
  if (refusal.empty()) return false;
  if (MayLogRefusal(slot)) {
    const std::string user = ActorName(slot);
    const std::string address = ActorAddress(slot);
    LogMessage(kLogInfo, "Refused the map rotation uploaded by user %s at %s! %s.", user.c_str(),
               address.c_str(), refusal.c_str());
  }
  NotifyClient(slot, NOTE_COMMAND_FAILED, nullptr, 0);
  return true;
}

// The stored files the game starts with (a settings upload keeps its own when
// it is applied), so that a start-up crash loop after the upload can be undone.
std::optional<UploadKind> StartFileUpload(std::uint32_t request) {
  if (request == REQ_PUT_ROTATION) return UploadKind::kRotation;
  if (request == REQ_PUT_PB_CONFIG) return UploadKind::kPunkBusterConfig;
  return std::nullopt;
}

// Decodes an upload with `decode`, stores it and, when that succeeded, follows it up.
template <class Decode>
bool ReceiveUpload(std::uint32_t request, int slot, Decode decode) {
  const FileRequest* entry = Find(kUploads, request);
  if (entry == nullptr) return false;
  const std::string path = PathOf(*entry);
  FileContent content;
  const bool decoded = decode(&content);
  if (decoded && RotationRefused(request, slot, content)) return false;
  const std::optional<UploadKind> guarded = StartFileUpload(request);
  if (decoded && guarded) KeepBeforeUpload(*guarded);
  // A temporary copy is a settings or user list: it holds passwords.
  const bool received =
      decoded && StoreFile(path, content, entry->temporary ? kSecretFileMode : kAnyFileMode);
  if (!received && MayLogRefusal(slot)) ReceiveFailure(path, PeerAddress(slot));
  if (received && guarded) NoteUpload(*guarded, slot);
  if (received) FollowUpload(request, slot, path);
  if (entry->temporary) std::remove(path.c_str());
  return received;
}

}  // namespace

bool SendFile(const std::string& path, Connection& client) {
  if (!LoggedIn(client)) return Fail(ENOTCONN);
  const int slot = SlotOf(client);
  OwnedFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return SendFailure(path, slot, errno);
  if (S_ISDIR(st.st_mode)) return SendFailure(path, slot, EISDIR);
  if (!S_ISREG(st.st_mode)) return SendFailure(path, slot, EINVAL);
  if (st.st_size > static_cast<off_t>(kTransferMax)) return SendFailure(path, slot, EFBIG);
  // Made as the socket drains (see Outflow); a small file's message goes at once.
  ConnectionIo& io = client.io;
  StartOutflow(io, std::move(file), static_cast<std::size_t>(st.st_size));
  io.sending = path;
  ErrorCode() = 0;
  if (!SendToClient(client, "", 0)) {
    LogMessage(kLogInfo, "Couldn't send %s to peer at %s! %s", path.c_str(),
               PeerAddress(slot).c_str(), ErrorText(ErrorCode()));
    return false;
  }
  return true;
}

bool ReceiveFile(const std::string& path, const std::string& address, std::string_view message,
                 mode_t widestMode) {
  return StoreMessage(path, address, message, widestMode) || ReceiveFailure(path, address);
}

bool IsDownloadRequest(std::uint32_t request) {
  return Find(kDownloads, request) != nullptr;
}
bool IsUploadRequest(std::uint32_t request) {
  return Find(kUploads, request) != nullptr;
}

bool SendRequestedFile(std::uint32_t request, Connection& client) {
  const FileRequest* entry = Find(kDownloads, request);
  if (entry == nullptr) return false;
  if (entry->place == Place::kLog) return SendLog(client);
  const std::string path = PathOf(*entry);
  PrepareDownload(request, SlotOf(client), path);
  const bool sent = SendFile(path, client);
  if (entry->temporary) std::remove(path.c_str());
  return sent;
}

std::string UploadPath(std::uint32_t request) {
  const FileRequest* entry = Find(kUploads, request);
  return entry != nullptr ? PathOf(*entry) : std::string();
}

bool ReceiveRequestedFile(std::uint32_t request, Connection& client, std::string_view message) {
  const int slot = SlotOf(client);
  const std::string address = PeerAddress(slot);
  return ReceiveUpload(request, slot, [&](FileContent* content) {
    return DecodeMessage(address, message, content);
  });
}

bool ReceiveSpooledFile(Connection& client, const Inflow& inflow) {
  const bool received = ReceiveUpload(inflow.request, SlotOf(client), [&](FileContent* content) {
    return DecodeSpool(inflow, content);
  });
  ReleaseFreedMemorySoon();
  return received;
}

OwnedFd OpenUploadSpool() {
  return OpenSpool(Opts().serverDir);
}

}  // namespace keldor
