// Files that a setting names for Keldor to write (the statistics log). A client
// with a settings page may set such a name, and Keldor writes with its own
// rights, so the name may only lead to a CSV file of Keldor's own in its log
// directory: never to a file it reads as configuration, never through a link.
#pragma once

#include <string>

namespace keldor {

// Where keldor.log and adminlog.csv go: the overlay's "logs" directory, else the
// server directory (empty before start-up has set it: the current directory).
std::string LogDirectory();

// True for the rows whose value names a file Keldor writes.
bool NamesOutputFile(int row);

// The file a setting's value stands for: a bare name (an empty one is
// "statistics.csv") in the log directory, or an absolute path to a file there.
// The name must end in ".csv", must not be adminlog.csv and must hold no
// control character; a file already there must be a regular file owned by
// Keldor's user, with no other link to it. False with ErrorCode EACCES otherwise.
bool ResolveOutputFile(const std::string& value, std::string* path);

// Appends `text` with one write, as AppendWhole does (a last line left without
// its end is ended first), to a file ResolveOutputFile gave: opened without
// following a link and checked again once open, so that a link or another
// file planted after the setting was taken is refused (ErrorCode EACCES).
bool AppendToOutputFile(const std::string& path, const std::string& text);

}  // namespace keldor
