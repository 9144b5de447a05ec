// Small text, file and address helpers shared by every subsystem.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/owned.h"

namespace keldor {

// Files that hold passwords (reversible ones, the console's) are their owner's alone.
constexpr mode_t kSecretFileMode = 0600;
// No limit beyond a plain file's permission bits.
constexpr mode_t kAnyFileMode = 0777;

// Case conversion with toupper/tolower; a null text is returned as is.
char* UpperCaseInPlace(char* text);
char* LowerCaseInPlace(char* text);
std::string& UpperCaseInPlace(std::string& text);
std::string& LowerCaseInPlace(std::string& text);
std::string ToLower(std::string text);

// The fields of `text` between every `separator`, empty ones kept: n
// separators give n + 1 fields.
std::vector<std::string> Split(const std::string& text, char separator);

// "-" for negative values, then the magnitude's digits in `base` (2..36), "a".."z" above 9.
std::string IntegerToText(long value, int base);

// Key/label lists: "key/label,key/label,...". ListKeyAt gives the key of the
// n-th pair (1-based); ListLabelFor the label of the first key equal to `key`
// (any case). Both return null when there is none; the result lives in a
// private buffer that the next call overwrites.
const char* ListKeyAt(const char* list, int n);
const char* ListLabelFor(const char* list, const char* key);

// False only for an empty path or a file that does not exist (ENOENT); other
// failures to open count as present.
bool FileExists(const std::string& path);

enum class EnsureMode { kCreateIfMissing = 1, kTruncate = 2 };
// Creates the directories leading to `path` (0755), then the file: empty when
// missing (with `createMode` less the umask), or also truncated in kTruncate
// mode. False when the file could not be created; ErrorCode holds the reason.
bool EnsureFile(const std::string& path, EnsureMode mode, mode_t createMode = 0666);

// Creates every missing directory of `dir` itself (0755); false with ErrorCode on failure.
bool MakeDirectories(const std::string& dir);

// Dotted quad to an address with the first octet in the most significant byte.
// At most 15 characters are read; a missing part or one above 255 counts as 0.
std::uint32_t ParseIPv4(const char* text);

// "%i.%i.%i.%i", most significant byte first; the result lives in a buffer that
// the next call overwrites.
const char* FormatIPv4(std::uint32_t address);

// Copies a file in 8 KiB blocks, logging its own failures.
bool CopyFile(const std::string& source, const std::string& target);

// True when every character is a hexadecimal digit (the empty text included).
bool IsHexText(const char* text);

// Writes `path` through `write` into a private temporary file beside it and
// renames that into place, so the file is always either the old one or the
// whole new one. The file never gets more than `widestMode`: a replaced file
// keeps its own mode within it, a new one gets 0666 within it, less the umask.
// False with ErrorCode when anything failed (the old file stays).
bool ReplaceFile(const std::string& path, mode_t widestMode,
                 const std::function<bool(std::FILE*)>& write);
inline bool ReplaceFile(const std::string& path, const std::function<bool(std::FILE*)>& write) {
  return ReplaceFile(path, kAnyFileMode, write);
}

// Opens `path` for writing, emptied, as a file of kSecretFileMode (an existing
// one is narrowed to it first), never through a symbolic link. Null with
// ErrorCode on failure.
FileHandle CreateSecretFile(const std::string& path);

// Narrows the mode of an existing regular file to within `widestMode`; a
// symbolic link is not followed. True when the mode changed, the new mode in
// `narrowed`.
bool NarrowFileMode(const std::string& path, mode_t widestMode, mode_t* narrowed);

// Tests: called by ReplaceFile with the path once the whole new content is in
// the temporary file and before it takes the file's place (null: none).
using ReplaceFileHook = void (*)(const std::string& path);
void SetReplaceFileHook(ReplaceFileHook hook);

// Appends `text` to the file with one write (O_APPEND), so that a line is added
// whole or, should the process die within that write, cut only at its end:
// a reader takes a last line without its line end for no record. A file whose
// last line was left so is given its line end first, so that the cut line stays
// apart from the records after it. A missing file is created with `createMode`.
bool AppendWhole(const std::string& path, const std::string& text, mode_t createMode = 0644);

enum class LineRead { kLine, kTooLong, kEnd, kError };

// Reads the next line of a text file, its LF consumed and not kept; with
// `stopAtCr` the text also ends at its first CR. At most `max` characters are
// kept: a longer line is still consumed whole (so that its tail is never taken
// for a line of its own) and reported as kTooLong.
LineRead ReadTextLine(std::FILE* file, std::string& line, std::size_t max, bool stopAtCr = false);

// Hands each line of `file`, read as ReadTextLine reads it, to `onLine` with
// whether it was cut at `max`, until `onLine` answers false. False with
// ErrorCode (errno, or EIO) on a read error.
using LineVisitor = std::function<bool(std::string& line, bool cut)>;
bool ForEachLine(std::FILE* file, std::size_t max, bool stopAtCr, const LineVisitor& onLine);
// The same for the file at `path`; `opened` (when given) tells a file that
// could not be opened from one that could not be read.
bool ForEachLine(const std::string& path, std::size_t max, bool stopAtCr, const LineVisitor& onLine,
                 bool* opened = nullptr);

// Cuts a text to at most `width` bytes.
std::string CutToWidth(std::string text, std::size_t width);

// A text from a player or a client that goes into a console command, a message
// or a field of a line must not end the line it stands in: every control
// character becomes a blank.
std::string FlattenLine(std::string text);

// The length of the well-formed UTF-8 sequence at the start of `text` (1 for
// an ASCII byte); 0 when there is none: a stray byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a sequence cut short, an empty text.
std::size_t Utf8SequenceLength(std::string_view text);
// Appends `byte` read as Latin-1 (the game's encoding of names and chat) as UTF-8.
void AppendLatin1AsUtf8(std::string& out, unsigned char byte);
// As FlattenLine, for a field that stands in double quotes: a double quote in
// it becomes a single one, so that it cannot close the field early.
std::string QuotedField(std::string text);

}  // namespace keldor
