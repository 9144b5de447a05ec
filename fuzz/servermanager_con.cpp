// servermanager.con: read at start-up and uploaded by clients.
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace keldor;
  fuzz::FreshState();
  const std::string path = fuzz::WorkDir() + "/servermanager.con";
  fuzz::WriteBytes(path, data, size);
  ApplySettingsFile(path, -1);
  const SettingsActor actor{"fuzz", "127.0.0.1:1"};
  std::vector<std::string> refused;
  ApplyUploadedSettings(path, 0x5, actor, &refused);
  SaveSettingsFile(path, -1);
  return 0;
}
