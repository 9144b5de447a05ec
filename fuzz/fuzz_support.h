// What every fuzz target shares: a private working directory laid out as a
// server directory with its settings beneath, fresh state for each input, and
// a way to put an input into a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldor::fuzz {

// The server directory of this process, created on first use and removed at
// exit. The working directory stays: libFuzzer reads its corpus through it.
const std::string& WorkDir();

// Puts every table back to its start, points the options at WorkDir() and keeps
// the log quiet. Call at the start of each input.
void FreshState();

// Writes the bytes to `path` (created or truncated), creating its directories.
void WriteBytes(const std::string& path, const std::uint8_t* data, std::size_t size);

// The settings directory's file `name`.
std::string SettingsPath(const std::string& name);

// Fills slot 1 with an administrator (every right) named "fuzz" on `socket`.
void SeatAdministrator(int socket);

}  // namespace keldor::fuzz
