// The listening socket: a socket option that cannot be set ends start-up with
// status 1. setsockopt is interposed for this test binary so that one option
// can be made to fail; every other call goes through to the system.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "daemon/main_loop.h"
#include "runtime/options.h"
#include "settings/settings.h"
#include "state_fixture.h"

namespace {
bool g_failLinger = false;
}  // namespace

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t size) noexcept {
  if (g_failLinger && level == SOL_SOCKET && name == SO_LINGER) {
    errno = ENOPROTOOPT;
    return -1;
  }
  using Real = int (*)(int, int, int, const void*, socklen_t);
  static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "setsockopt"));
  return real(fd, level, name, value, size);
}

namespace keldor {
namespace {

class Listener : public testing::StateTest {
 protected:
  void TearDown() override {
    g_failLinger = false;
    StateTest::TearDown();  // closes the listening socket
  }
};

TEST_F(Listener, LingerOptionThatCannotBeSetEndsStartUpWithStatusOne) {
  Row(Setting::ServerIP).current = static_cast<std::int32_t>(INADDR_LOOPBACK);
  Opts().listenPort = 0;  // any free port
  g_failLinger = true;
  EXPECT_EQ(OpenListener(), 1);
  EXPECT_TRUE(Logged("Couldn't set socket linger option! "));
}

}  // namespace
}  // namespace keldor
