// mkinstall: lays out a minimal game installation (server binary and mod folder)
// so that Keldor can start on it.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "core/helpers.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mkinstall DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::string binary = dir + "/bfv_linded";
  if (!keldor::MakeDirectories(dir + "/mods/bfvietnam") ||
      !keldor::EnsureFile(binary, keldor::EnsureMode::kCreateIfMissing) ||
      !keldor::EnsureFile(dir + "/mods/bfvietnam/init.con", keldor::EnsureMode::kCreateIfMissing)) {
    std::fprintf(stderr, "mkinstall: couldn't create the installation in %s\n", dir.c_str());
    return 1;
  }
  chmod(binary.c_str(), 0755);
  std::printf("Installation ready in %s\n", dir.c_str());
  return 0;
}
