// The number of the last failure: a system error number or one of our own codes.
// Operations return false and leave the reason here; callers log it with ErrorText.
#pragma once

namespace keldor {

int& ErrorCode();

// Shorthand for the common "record and fail" pattern.
inline bool Fail(int code) {
  ErrorCode() = code;
  return false;
}

}  // namespace keldor
