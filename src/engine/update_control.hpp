// What a long update consults while it runs.
#pragma once

#include <chrono>
#include <cstdint>

namespace nimbo {

struct UpdateControl {
  using Clock = std::chrono::steady_clock;
  // Units of work (a bus taken, 64 bits evaluated, a vector, ...) between
  // two looks at the clock: a look costs as much as some dozens of units.
  static constexpr std::uint64_t kWorkBetweenClockLooks = 4096;

  // Asked every so often; true stops the update, which then reports an
  // error whose interrupted() is true.
  bool (*interrupted)() = nullptr;
  // For a component with feedback: the most work (value words evaluated)
  // the update may do; 0 for the simulation's own work_limit().
  std::uint64_t work_limit = 0;
  // How long work may go on before interrupted() is asked again, whatever
  // the work is (0: at every look at the clock).
  std::chrono::nanoseconds poll_interval = std::chrono::milliseconds(10);

  // Counts `work` units done; every kWorkBetweenClockLooks units, looks at
  // the clock (see due()). True: stop.
  bool poll(std::uint64_t work) const {
    if (interrupted == nullptr) return false;
    work_since_look_ += work;
    if (work_since_look_ < kWorkBetweenClockLooks) return false;
    work_since_look_ = 0;
    return due();
  }
  // Asks interrupted() at the first look, then when poll_interval has
  // passed since it last asked. True: stop.
  bool due() const {
    if (interrupted == nullptr) return false;
    const Clock::time_point now = Clock::now();
    if (asked_ && now - last_asked_ < poll_interval) return false;
    asked_ = true;
    last_asked_ = now;
    return interrupted();
  }

  // State of the polls: one control serves every update of a call.
  mutable std::uint64_t work_since_look_ = 0;
  mutable bool asked_ = false;
  mutable Clock::time_point last_asked_{};
};

}  // namespace nimbo
