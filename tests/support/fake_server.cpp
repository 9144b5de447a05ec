// A stand-in game server process for tests of launching and discovery: records
// its arguments, working directory and whether it leads its session in
// "launch.txt" (written aside and renamed, so that a test that sees the file
// sees all of it), then waits to be ended.
#include <unistd.h>

#include <climits>
#include <cstdio>

int main(int argc, char** argv) {
  if (FILE* f = std::fopen("launch.txt.part", "w")) {
    char cwd[PATH_MAX] = "";
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    std::fprintf(f, "cwd=%s\nleader=%d\n", cwd, getsid(0) == getpid() ? 1 : 0);
    for (int i = 0; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
    std::fclose(f);
    std::rename("launch.txt.part", "launch.txt");
  }
  for (;;) pause();
}
