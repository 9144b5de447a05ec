// The last failure's number.
#include "core/error.h"

#include "core/state_table.h"

namespace keldor {

namespace {
StateTable<int> g_errorCode;
}  // namespace

int& ErrorCode() {
  return *g_errorCode;
}

}  // namespace keldor
