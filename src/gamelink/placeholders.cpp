// Stand-in for the console link until it is built: there is never a console socket.
#include "gamelink/console.h"

namespace keldor {

void DisconnectConsole() {}

}  // namespace keldor
