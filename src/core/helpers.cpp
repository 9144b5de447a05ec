// Small text, file and address helpers.
#include "core/helpers.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/error.h"
#include "core/log.h"
#include "core/owned.h"

namespace keldor {

namespace {

// The private copy a list lookup tokenises; 1024 bytes as the lists are short.
char g_listCopy[1024];

// Splits the private copy into tokens at '/' and ','; returns the count.
int TokeniseList(const char* list, const char* tokens[], int maxTokens) {
  std::snprintf(g_listCopy, sizeof g_listCopy, "%s", list);
  int count = 0;
  char* save = nullptr;
  for (char* t = strtok_r(g_listCopy, "/,", &save); t != nullptr && count < maxTokens;
       t = strtok_r(nullptr, "/,", &save)) {
    tokens[count++] = t;
  }
  return count;
}

constexpr int kMaxListTokens = 512;

}  // namespace

char* UpperCaseInPlace(char* text) {
  if (text == nullptr) return text;
  for (char* p = text; *p; ++p)
    *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  return text;
}

char* LowerCaseInPlace(char* text) {
  if (text == nullptr) return text;
  for (char* p = text; *p; ++p)
    *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return text;
}

std::string& UpperCaseInPlace(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string& LowerCaseInPlace(std::string& text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ToLower(std::string text) {
  return LowerCaseInPlace(text);
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end = text.find(separator); end != std::string::npos;
       end = text.find(separator, start)) {
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  fields.push_back(text.substr(start));
  return fields;
}

std::string IntegerToText(long value, int base) {
  if (base < 2 || base > 36) base = 10;
  // Work on the magnitude as unsigned so that the most negative value is safe.
  unsigned long magnitude =
      value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  std::string digits;
  do {
    const unsigned d = static_cast<unsigned>(magnitude % static_cast<unsigned long>(base));
    digits.insert(digits.begin(), static_cast<char>(d < 10 ? '0' + d : 'a' + d - 10));
    magnitude /= static_cast<unsigned long>(base);
  } while (magnitude != 0);
  return value < 0 ? "-" + digits : digits;
}

const char* ListKeyAt(const char* list, int n) {
  if (list == nullptr || n < 1) return nullptr;
  const char* tokens[kMaxListTokens];
  const int count = TokeniseList(list, tokens, kMaxListTokens);
  const int index = 2 * n - 2;  // token 2n-1, 1-based
  return index < count ? tokens[index] : nullptr;
}

const char* ListLabelFor(const char* list, const char* key) {
  if (list == nullptr || key == nullptr) return nullptr;
  const char* tokens[kMaxListTokens];
  const int count = TokeniseList(list, tokens, kMaxListTokens);
  for (int i = 0; i + 1 < count; i += 2) {
    if (strcasecmp(tokens[i], key) == 0) return tokens[i + 1];
  }
  return nullptr;
}

bool FileExists(const std::string& path) {
  if (path.empty()) return false;
  const FileHandle f(std::fopen(path.c_str(), "rb"));
  return f != nullptr || errno != ENOENT;
}

bool MakeDirectories(const std::string& dir) {
  for (std::size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
    const std::string part = pos == std::string::npos ? dir : dir.substr(0, pos);
    if (!part.empty() && mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return Fail(errno);
    }
    if (pos == std::string::npos) return true;
  }
}

bool EnsureFile(const std::string& path, EnsureMode mode, mode_t createMode) {
  // Directories from the second component on: for /a/b/c/f that is /a/b and /a/b/c.
  const std::size_t first = path.find('/', 1);
  for (std::size_t pos = first == std::string::npos ? std::string::npos : path.find('/', first + 1);
       pos != std::string::npos; pos = path.find('/', pos + 1)) {
    if (mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) {
      ErrorCode() = errno;
      break;
    }
  }
  // Looked up with stat rather than FileExists: a path that cannot be opened
  // for another reason (a file in the way of a directory) does not exist either.
  struct stat st;
  if (mode == EnsureMode::kCreateIfMissing && stat(path.c_str(), &st) == 0) return true;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY |
                    (mode == EnsureMode::kTruncate ? O_TRUNC : O_APPEND);
  const OwnedFd fd(open(path.c_str(), flags, createMode));
  return fd.get() >= 0 || Fail(errno);
}

std::uint32_t ParseIPv4(const char* text) {
  if (text == nullptr) return 0;
  char copy[16];
  std::snprintf(copy, sizeof copy, "%s", text);
  std::uint32_t address = 0;
  char* save = nullptr;
  char* part = strtok_r(copy, ".", &save);
  for (int i = 0; i < 4; ++i) {
    unsigned long octet = 0;
    if (part != nullptr) {
      octet = std::strtoul(part, nullptr, 10);
      if (octet > 255) octet = 0;
      part = strtok_r(nullptr, ".", &save);
    }
    address = (address << 8) | static_cast<std::uint32_t>(octet);
  }
  return address;
}

const char* FormatIPv4(std::uint32_t address) {
  static char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%i.%i.%i.%i", static_cast<int>(address >> 24),
                static_cast<int>((address >> 16) & 0xFF), static_cast<int>((address >> 8) & 0xFF),
                static_cast<int>(address & 0xFF));
  return buffer;
}

bool CopyFile(const std::string& source, const std::string& target) {
  FileHandle in(std::fopen(source.c_str(), "rb"));
  if (!in) {
    const int error = errno;
    LogMessage(kLogInfo, "Couldn't open source con file! %s", ErrorText(error));
    return Fail(error);
  }
  // The target is replaced in one step: the game must never find it half copied.
  bool readFailed = false;
  const bool copied = ReplaceFile(target, [&in, &readFailed](FILE* out) {
    char block[8192];
    for (;;) {
      const std::size_t got = std::fread(block, 1, sizeof block, in.get());
      if (got < sizeof block && std::ferror(in.get())) {
        readFailed = true;
        return false;
      }
      if (got > 0 && std::fwrite(block, 1, got, out) != got) return false;
      if (got < sizeof block) return true;
    }
  });
  const int error = ErrorCode();
  in.reset();
  if (!copied) {
    LogMessage(kLogInfo,
               readFailed ? "Couldn't read source file! %s" : "Couldn't write target file! %s",
               ErrorText(error));
    return Fail(error);
  }
  return true;
}

bool IsHexText(const char* text) {
  if (text == nullptr) return true;
  for (const char* p = text; *p; ++p) {
    if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

namespace {
ReplaceFileHook g_replaceHook = nullptr;  // a test seam, not state: no reset needed
}  // namespace

void SetReplaceFileHook(ReplaceFileHook hook) {
  g_replaceHook = hook;
}

bool AppendWhole(const std::string& path, const std::string& text, mode_t createMode) {
  OwnedFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, createMode));
  if (fd.get() < 0) return Fail(errno);
  // A last line left without its end (a full disk, a crash in mid-write, a hand
  // edit) is ended first: the new text must not run on from it into one line.
  const off_t size = lseek(fd.get(), 0, SEEK_END);
  char last = '\n';
  std::string ended;
  const std::string* out = &text;
  if (size > 0 && pread(fd.get(), &last, 1, size - 1) == 1 && last != '\n') {
    ended = "\n" + text;
    out = &ended;
  }
  std::size_t done = 0;
  while (done < out->size()) {
    const ssize_t n = write(fd.get(), out->data() + done, out->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  return fd.Close() || Fail(errno);
}

namespace {

mode_t CurrentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// The mode the new content of `path` gets; false when the old file's cannot be
// learnt (guessing could widen it).
bool ReplacementMode(const std::string& path, mode_t widestMode, mode_t* mode) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    *mode = st.st_mode & 0777 & widestMode;
    return true;
  }
  if (errno != ENOENT) return Fail(errno);
  *mode = 0666 & widestMode & ~CurrentUmask();
  return true;
}

}  // namespace

bool ReplaceFile(const std::string& path, mode_t widestMode,
                 const std::function<bool(std::FILE*)>& write) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirectories(path.substr(0, slash))) {
    return false;
  }
  mode_t mode = 0;
  if (!ReplacementMode(path, widestMode, &mode)) return false;
  std::string temporary = path + ".XXXXXX";
  OwnedFd fd(mkostemp(temporary.data(), O_CLOEXEC));  // 0600 until its mode is set
  if (fd.get() < 0) return Fail(errno);
  FileHandle file(fchmod(fd.get(), mode) == 0 ? fdopen(fd.get(), "wb") : nullptr);
  if (!file) {
    const int error = errno;
    fd.Reset();
    unlink(temporary.c_str());
    return Fail(error);
  }
  fd.Release();  // the FILE* closes it now
  errno = 0;
  bool ok = write(file.get()) && std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
  int error = ok ? 0 : (errno != 0 ? errno : EIO);
  if (!CloseFile(file) && ok) {
    ok = false;
    error = errno;
  }
  if (ok && g_replaceHook != nullptr) g_replaceHook(path);
  if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    return Fail(error);
  }
  return true;
}

FileHandle CreateSecretFile(const std::string& path) {
  // Not blocking: a pipe planted in its place must not hold the loop.
  OwnedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                  kSecretFileMode));
  if (fd.get() < 0) {
    Fail(errno);
    return nullptr;
  }
  // Narrowed before anything is written into it; a file that is not a regular
  // one (a device, a pipe) is never ours to fill.
  struct stat st;
  int error = 0;
  if (fstat(fd.get(), &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = EINVAL;
  } else if (fchmod(fd.get(), st.st_mode & 0777 & kSecretFileMode) != 0 ||
             ftruncate(fd.get(), 0) != 0) {
    error = errno;
  }
  FileHandle file(error == 0 ? fdopen(fd.get(), "wb") : nullptr);
  if (!file) {
    if (error == 0) error = errno;
    fd.Reset();
    Fail(error);
    errno = error;  // for callers that read errno, as after fopen
    return nullptr;
  }
  fd.Release();  // the FILE* closes it now
  return file;
}

bool NarrowFileMode(const std::string& path, mode_t widestMode, mode_t* narrowed) {
  const OwnedFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return false;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 0777 & ~widestMode) == 0) {
    return false;
  }
  *narrowed = st.st_mode & 0777 & widestMode;
  return fchmod(fd.get(), *narrowed) == 0;
}

LineRead ReadTextLine(std::FILE* file, std::string& line, std::size_t max, bool stopAtCr) {
  line.clear();
  // One lock for the line rather than one a character: reading a long list
  // character by character through the locking getc was a good part of its cost.
  flockfile(file);
  int c = getc_unlocked(file);
  if (c == EOF) {
    funlockfile(file);
    return std::ferror(file) ? LineRead::kError : LineRead::kEnd;
  }
  bool tooLong = false;
  bool ended = false;
  for (; c != EOF && c != '\n'; c = getc_unlocked(file)) {
    ended = ended || (stopAtCr && c == '\r');
    if (ended) continue;
    if (line.size() < max) {
      line.push_back(static_cast<char>(c));
    } else {
      tooLong = true;
    }
  }
  funlockfile(file);
  if (std::ferror(file)) return LineRead::kError;
  return tooLong ? LineRead::kTooLong : LineRead::kLine;
}

bool ForEachLine(std::FILE* file, std::size_t max, bool stopAtCr, const LineVisitor& onLine) {
  std::string line;
  for (;;) {
    errno = 0;
    const LineRead read = ReadTextLine(file, line, max, stopAtCr);
    if (read == LineRead::kEnd) return true;
    if (read == LineRead::kError) return Fail(errno != 0 ? errno : EIO);
    if (!onLine(line, read == LineRead::kTooLong)) return true;
  }
}

bool ForEachLine(const std::string& path, std::size_t max, bool stopAtCr, const LineVisitor& onLine,
                 bool* opened) {
  const FileHandle file(std::fopen(path.c_str(), "r"));
  if (opened != nullptr) *opened = file != nullptr;
  if (!file) return Fail(errno);
  return ForEachLine(file.get(), max, stopAtCr, onLine);
}

std::string CutToWidth(std::string text, std::size_t width) {
  if (text.size() > width) text.resize(width);
  return text;
}

void AppendLatin1AsUtf8(std::string& out, unsigned char byte) {
  if (byte < 0x80) {
    out += static_cast<char>(byte);
    return;
  }
  out += static_cast<char>(0xC0 | (byte >> 6));
  out += static_cast<char>(0x80 | (byte & 0x3F));
}

std::size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (n == 0 || text.size() < n || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
  }
  return n;
}

std::string FlattenLine(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

std::string QuotedField(std::string text) {
  text = FlattenLine(std::move(text));
  std::replace(text.begin(), text.end(), '"', '\'');
  return text;
}

}  // namespace keldor
