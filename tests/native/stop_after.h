// A listener for the cores' questions about stopping (common/interruption.h),
// standing in for the bindings' signal handlers: it says "stop" once asked a
// number of times, and counts the questions.
#pragma once

#include "common/interruption.h"

namespace native_tests {

class StopAfter final : public tw::interruption::Listener {
  public:
    explicit StopAfter(int questions) : left_(questions) { tw::interruption::listener = this; }
    ~StopAfter() { tw::interruption::listener = nullptr; }
    StopAfter(const StopAfter&) = delete;
    StopAfter& operator=(const StopAfter&) = delete;
    bool stop_after_signal() noexcept override { return true; }
    bool stop_requested() noexcept override {
        ++asked;
        return --left_ < 0;
    }
    void work_is_long() noexcept override { long_work = true; }
    int asked = 0;
    bool long_work = false;

  private:
    int left_;
};

} // namespace native_tests
