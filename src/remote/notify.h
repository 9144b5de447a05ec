// Notifications to clients and the reports they ask for: the status text, the
// PunkBuster version, the client list and the tail of the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor {

struct Connection;

// The log tail sent to a client when the log is large.
constexpr std::size_t kLogTailSize = 32768;
// A status field taken from the game or the rotation is cut to this, so the
// status text stays bounded (19 fields of at most this and a comma).
constexpr std::size_t kStatusFieldMax = 1025;
constexpr std::size_t kPunkBusterVersionMax = 1025;

// One notification to one client. Slot 0 (Keldor) succeeds without sending; a
// slot outside 0..16 or a free slot fails without sending. A failed send logs
// "Couldn't notify client at %s! %s"; the message is queued whole, and a
// client that cannot take it (output beyond its cap, a failed write) is given
// up and the main loop ends its connection.
bool NotifyClient(int slot, std::uint32_t code, const void* data, std::size_t size);
// One notification to a client by its record: false without sending unless it is logged in.
bool NotifyClient(Connection& client, std::uint32_t code, const void* data, std::size_t size);
// To every client in use but `except` (0 excepts nobody). A client whose socket
// is not a socket any more is released without closing it. Always true.
bool NotifyAllClients(std::uint32_t code, const void* data, std::size_t size, int except);
// Text notifications carry the text with its NUL.
bool NotifyClientText(int slot, std::uint32_t code, const std::string& text);
bool NotifyAllClientsText(std::uint32_t code, const std::string& text, int except);

// The 19 comma-terminated status fields. False (text empty) when the status
// query of a connected game fails.
bool GetServerStatusString(std::string* text);
// "(...)" from PunkBuster's answer to "pb_sv_ver", or "(version unknown)".
std::string PunkBusterVersion();
// clientlist.con: one line per connected client.
bool WriteClientList(const std::string& path);
// Copies the last 32768 bytes of the log into a new private file under /tmp
// and puts its path in `tempPath`; the caller sends and removes it. False
// (nothing left behind, `tempPath` empty) when the tail could not be copied.
bool CopyLogTail(std::string* tempPath);

}  // namespace keldor
