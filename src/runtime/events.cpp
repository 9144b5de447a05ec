// The event handlers and their calls.
#include "runtime/events.h"

#include <array>
#include <cstddef>

namespace keldor {

namespace {
constexpr std::size_t kMaxHandlers = 8;
std::array<EventHandler, kMaxHandlers> g_handlers{};
std::size_t g_handlerCount = 0;
}  // namespace

void Subscribe(EventHandler handler) {
  for (std::size_t i = 0; i < g_handlerCount; ++i) {
    if (g_handlers[i] == handler) return;
  }
  if (handler != nullptr && g_handlerCount < kMaxHandlers) g_handlers[g_handlerCount++] = handler;
}

void Report(Event event, const char* text) {
  for (std::size_t i = 0; i < g_handlerCount; ++i) g_handlers[i](event, text);
}

}  // namespace keldor
