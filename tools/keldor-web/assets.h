// The page's files, embedded into the program when it is built (see
// cmake/EmbedFiles.cmake): nothing is read from disk or fetched at run time.
#pragma once

#include <string_view>

namespace keldorweb {

struct Asset {
  std::string_view path;  // "/app.js"
  std::string_view type;  // its Content-Type
  std::string_view body;
};

// nullptr when there is no such file.
const Asset* FindAsset(std::string_view path);

}  // namespace keldorweb
