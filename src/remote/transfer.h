// File transfer with clients: one message format both ways (the sizes, the
// Adler-32 of the compressed bytes, the LZO1X-1 compressed content), and the
// table of which file each file request exchanges, what is prepared before a
// download and what follows an upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/helpers.h"
#include "remote/connection_io.h"
#include "remote/notify.h"
#include "wire/transfer_frame.h"

namespace keldor {

struct Connection;

// Queues the file for a logged-in client; a file that cannot be produced is
// answered with the failure marker, an empty one with the single word 0.
bool SendFile(const std::string& path, Connection& client);

// Stores the content of one whole file-transfer message, received from the
// client at `address` (dotted, for the log lines), as the file. The file is
// replaced only once the message has checked out: every failure leaves the
// previous file as it was.
bool ReceiveFile(const std::string& path, const std::string& address, std::string_view message,
                 mode_t widestMode = kAnyFileMode);

// A download request: prepares the file, queues it, removes a temporary one.
// False for a request that is not a download.
bool SendRequestedFile(std::uint32_t request, Connection& client);
// An upload request whose message has arrived whole: stores the file and, when
// that succeeded, reloads, notifies the other clients and logs as the file requires.
bool ReceiveRequestedFile(std::uint32_t request, Connection& client, std::string_view message);
// An upload request whose compressed bytes were written to `inflow`'s spool
// as they arrived: checked, stored and followed up as ReceiveRequestedFile.
bool ReceiveSpooledFile(Connection& client, const Inflow& inflow);
// An unnamed file in the server directory for an accepted upload's bytes.
OwnedFd OpenUploadSpool();
// Where the file of an upload request is stored; empty for other codes.
std::string UploadPath(std::uint32_t request);

bool IsDownloadRequest(std::uint32_t request);
bool IsUploadRequest(std::uint32_t request);

// A settings file a client uploaded into `uploadPath`: applied under the client's
// rights (each change logged as the client's), removed, the whole table saved to
// servermanager.con, pushed to a running game server and written into
// serverautoexec.con. False (with ErrorCode) when the file could not be applied
// or the table not saved; otherwise the caller tells the other clients that the
// settings changed. `refused` receives the names of the settings whose values
// were not taken.
bool ApplyClientSettings(const std::string& uploadPath, std::int32_t rightsMask, int slot,
                         std::vector<std::string>* refused = nullptr);

// Reads servermanager.con in again when it was changed on disk since Keldor last
// read or wrote it (logged, and the game server and clients follow). True when
// it was.
bool ReloadEditedSettings();

}  // namespace keldor
