// File transfer with clients: one message format both ways (the sizes, the
// Adler-32 of the compressed bytes, the LZO1X-1 compressed content), and the
// table of which file each file request exchanges, what is prepared before a
// download and what follows an upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "remote/notify.h"
#include "wire/transfer_frame.h"

namespace keldor {

// Sends the file; a file that cannot be produced is answered with the failure
// marker, an empty one with the single word 0.
bool SendFile(const std::string& path, int socket);

// Receives one file-transfer message and stores its content as the file. The
// file is replaced only once the whole message has arrived and checked out:
// every failure leaves the previous file as it was. When the message cannot be
// read to its end (an absurd size, a read that failed half-way) the connection
// is shut down, since what follows on it would be read out of step.
bool ReceiveFile(const std::string& path, int socket);

// A download request: prepares the file, sends it, removes a temporary one.
// False for a request that is not a download.
bool SendRequestedFile(std::uint32_t request, int slot, int socket);
// An upload request: receives the file and, when that succeeded, reloads,
// notifies the other clients and logs as the file requires.
bool ReceiveRequestedFile(std::uint32_t request, int slot, int socket);

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

}  // namespace keldor
