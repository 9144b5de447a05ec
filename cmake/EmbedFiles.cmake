# Writes a C++ source that holds files as byte arrays, with a lookup by path,
# for keldor-web's page (tools/keldor-web/assets.h).
#   cmake -DOUTPUT=assets.cpp -DDIR=www -DFILES="index.html;app.js" -P EmbedFiles.cmake
cmake_minimum_required(VERSION 3.22)

set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS FILES)
  file(READ ${DIR}/${name} bytes HEX)
  string(LENGTH "${bytes}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  if(name MATCHES "\\.html$")
    set(type "text/html; charset=utf-8")
  elseif(name MATCHES "\\.js$")
    set(type "text/javascript; charset=utf-8")
  elseif(name MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  else()
    set(type "application/octet-stream")
  endif()
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", \"${type}\", {reinterpret_cast<const char*>(kFile${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE ${OUTPUT}.new "// Generated from ${DIR} by cmake/EmbedFiles.cmake; do not edit.
#include \"assets.h\"

namespace keldorweb {
namespace {
${arrays}
const Asset kAssets[] = {
${table}};
}  // namespace

const Asset* FindAsset(std::string_view path) {
  for (const Asset& asset : kAssets) {
    if (asset.path == path) return &asset;
  }
  return nullptr;
}

}  // namespace keldorweb
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
