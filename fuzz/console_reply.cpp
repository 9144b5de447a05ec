// What the game console sends back: replies to commands and the pending
// output with its event lines, over a connected link.
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_support.h"
#include "gamelink/console.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  if (size < 1 || size > 65536) return -1;
  fuzz::FreshState();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  const int buffer = 1 << 20;
  setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  Console().socket = pair[0];
  Console().connected = true;
  // The first byte chooses which kind of request each reply answers.
  const std::uint8_t order = data[0];
  const std::size_t written = size > 1 ? send(pair[1], data + 1, size - 1, MSG_NOSIGNAL) : 0;
  (void)written;
  shutdown(pair[1], SHUT_WR);
  for (int i = 0; i < 8 && Console().connected; ++i) {
    if ((order >> i) & 1) {
      SendConsoleMessage("game.listPlayers\nadmin.listBannedAddresses");
    } else {
      ReadConsoleOutput();
    }
  }
  ResetConsoleLink();
  close(pair[1]);
  return 0;
}
