// What the subsystems report when something happens that others may want to
// know: the game server started, stopped, crashed or hung, a console event line, the
// schedule or the ban list changed. A subsystem reports; it never calls the one that listens.
// The client service subscribes at start-up and tells the clients.
#pragma once

namespace keldor {

enum class Event {
  kServerStarted,
  kServerStopped,
  kServerCrashed,
  kServerHung,  // its process lives, its console and status query are silent
  kGamePaused,
  kGameResumed,
  kConsoleEvent,  // text: the event line
  kScheduleChanged,
  // Keldor's own policing; text: the player's name.
  kAutoKickWord,
  kAutoKickScore,
  kAutoBanScore,
  kAutoKickPing,
  kBansChanged,
  kBansCleared,
};

using EventHandler = void (*)(Event event, const char* text);

// Adds a handler; a handler already subscribed is not added twice. Handlers
// are wiring, not state (see ConnectSubsystems): ResetAllState leaves them in place.
void Subscribe(EventHandler handler);

// Hands the event to every handler, in the order they subscribed.
void Report(Event event, const char* text = nullptr);

}  // namespace keldor
