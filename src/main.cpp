// keldor: administers a game server beside it.
#include "daemon/startup.h"

int main(int argc, char** argv) {
  return keldor::RunKeldor(argc, argv);
}
