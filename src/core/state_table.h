// Every table of daemon state is declared as a StateTable, which enrols it in one
// list at construction. ResetAllState() puts every enrolled table back to its
// start value, so a test's reset cannot forget a table that a new file adds.
#pragma once

namespace keldor {

class StateTableBase {
 public:
  StateTableBase();
  StateTableBase(const StateTableBase&) = delete;
  StateTableBase& operator=(const StateTableBase&) = delete;
  virtual void Reset() = 0;

 protected:
  ~StateTableBase() = default;

 private:
  friend void ResetAllState();
  StateTableBase* next_;
};

// A table of type T. Its start value is T{}; a table whose start needs more (or
// that holds a resource to let go first) gives a reset function, which is then
// called with the table and does the whole reset.
template <class T>
class StateTable final : public StateTableBase {
 public:
  using ResetFunction = void (*)(T&);
  explicit StateTable(ResetFunction reset = nullptr) : reset_(reset) { Reset(); }
  void Reset() override {
    if (reset_ != nullptr) {
      reset_(value_);
    } else {
      value_ = T{};
    }
  }
  T& operator*() { return value_; }
  T* operator->() { return &value_; }

 private:
  T value_{};
  ResetFunction reset_;
};

// Puts every table of every linked subsystem back to its start value.
void ResetAllState();

}  // namespace keldor
