// Undoing an upload after which the game server will not stay up. An upload
// that changes what the game starts with (the settings, the map rotation, the
// PunkBuster config) first keeps the files it replaces beside them, named
// "<file>.before-upload". When the restart-loop guard then gives the server up
// within kRollbackWindowSeconds of such an upload, the files are put back,
// what Keldor holds of them is restored, and the server is started once more.
//
// Several uploads in a row keep the copies of the first since the server last
// ran steadily (past the quick-crash window after a launch): a rollback
// returns to the last state known to run, and names every upload it undid.
// Each upload is rolled back at most once; the copies go with the rollback.
#pragma once

#include <cstddef>
#include <ctime>

#include "runtime/events.h"

namespace keldor {

constexpr std::time_t kRollbackWindowSeconds = 15 * 60;
// Uploads named by one rollback; older ones are counted, not named.
constexpr std::size_t kRollbackUploadsMax = 8;
constexpr const char* kBeforeUploadSuffix = ".before-upload";

enum class UploadKind { kSettings, kRotation, kPunkBusterConfig };

// Keeps the files an upload of `kind` is about to replace (and, for the
// settings, the table), unless copies from an earlier upload since the last
// steady run stand. Nothing is kept when rollback or auto-restart is off.
void KeepBeforeUpload(UploadKind kind);

// The upload of `kind` by the client in `slot` was stored: a restart loop
// within the window undoes it.
void NoteUpload(UploadKind kind, int slot);

// The restart-loop guard gave the server up after `crashes` quick crashes:
// puts back the files of the uploads made within the window, tells the
// clients, raises the alert and starts the server once more. False when there
// was nothing to undo or the files could not all be put back.
bool RollBackUpload(int crashes);

// Follows the server's starts and ends: one that ran steadily since the copies
// were kept makes them the past (they are removed).
void FollowServerForRollback(Event event, const char* text);

}  // namespace keldor
