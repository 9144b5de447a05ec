// The list of state tables and the one reset that walks it.
#include "core/state_table.h"

namespace keldor {

namespace {
// Built during static initialisation, before main; a function-local head avoids
// depending on the order in which the tables' files are initialised.
StateTableBase*& Head() {
  static StateTableBase* head = nullptr;
  return head;
}
}  // namespace

StateTableBase::StateTableBase() : next_(Head()) {
  Head() = this;
}

void ResetAllState() {
  for (StateTableBase* table = Head(); table != nullptr; table = table->next_) table->Reset();
}

}  // namespace keldor
