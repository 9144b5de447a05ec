// The stand-in server's log and ban files.
#include "server.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "core/owned.h"

namespace gamesim {
namespace {

constexpr const char* kLogFileName = "gamesim.log";
constexpr const char* kOldLogFileName = "gamesim.log.1";
constexpr long kLogRotateSize = 1L << 20;

// Writes the lines to a temporary file beside `path` and renames it over.
bool ReplaceFile(const std::string& path, const std::vector<std::string>& lines) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    for (const std::string& line : lines) file << line << '\n';
    if (!file.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

void Log(const char* format, ...) {
  static keldor::FileHandle file(std::fopen(kLogFileName, "a"));
  if (file && std::ftell(file.get()) >= kLogRotateSize) {
    // One older generation is kept, so the log never takes more than twice this.
    file.reset();
    std::rename(kLogFileName, kOldLogFileName);
    file.reset(std::fopen(kLogFileName, "a"));
  }
  if (!file) return;
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%F %H:%M:%S", std::localtime(&now));
  std::fprintf(file.get(), "%s ", stamp);
  va_list args;
  va_start(args, format);
  std::vfprintf(file.get(), format, args);
  va_end(args);
  std::fputc('\n', file.get());
  std::fflush(file.get());
}

void SaveBanFiles(Server& server) {
  Game& game = server.game;
  if (game.bansChanged) {
    const std::string path = server.settingsDir + "/banlist.con";
    if (ReplaceFile(path, game.BanListLines()))
      game.bansChanged = false;
    else
      Log("Couldn't write %s", path.c_str());
  }
  if (game.guidBansChanged) {
    std::error_code ignored;
    std::filesystem::create_directories(server.serverDir + "/pb", ignored);
    const std::string path = server.serverDir + "/pb/pbbans.dat";
    if (ReplaceFile(path, game.GuidBanLines()))
      game.guidBansChanged = false;
    else
      Log("Couldn't write %s", path.c_str());
  }
}

}  // namespace gamesim
