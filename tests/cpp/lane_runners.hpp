// The ways lanes run, for the tables of tests that compare them with the
// plain model: each build of the lane kernels (a test of one the processor
// lacks is skipped), and sequences on threads.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <tuple>

#include "engine/lane_isa.hpp"

namespace nimbo::testing_model {

struct LaneRunner {
  const char* name;
  LaneIsa isa;
  std::size_t threads = 1;
  bool concurrent_sink = false;  // the sink takes the threads' steps as they come
};

inline constexpr LaneRunner kLaneIsaRunners[] = {
    {"Portable", LaneIsa::kPortable},
    {"Avx2", LaneIsa::kAvx2},
    {"Avx512", LaneIsa::kAvx512},
};

inline constexpr LaneRunner kSequenceRunners[] = {
    {"Portable", LaneIsa::kPortable},
    {"Avx2", LaneIsa::kAvx2},
    {"Avx512", LaneIsa::kAvx512},
    {"Threads2", LaneIsa::kPortable, 2},
    {"Threads3Concurrent", LaneIsa::kAvx2, 3, true},
};

// Uses the runner's kernels while it lives.
class UsedLaneIsa {
 public:
  explicit UsedLaneIsa(LaneIsa isa) : before_(lane_isa()), used_(choose_lane_isa(isa)) {}
  UsedLaneIsa(const UsedLaneIsa&) = delete;
  UsedLaneIsa& operator=(const UsedLaneIsa&) = delete;
  ~UsedLaneIsa() { choose_lane_isa(before_); }
  bool used() const noexcept { return used_; }

 private:
  LaneIsa before_;
  bool used_;
};

// The parameters of a table of lanes against the plain model: a case (with
// a `name`), a seed and a runner.
template <class Case>
using LaneTest = ::testing::TestWithParam<std::tuple<Case, unsigned, LaneRunner>>;

// Names such as OnePass_3_Avx2.
inline constexpr auto kLaneTestName = [](const auto& info) {
  return std::string(std::get<0>(info.param).name) + "_" + std::to_string(std::get<1>(info.param)) +
         "_" + std::get<2>(info.param).name;
};

}  // namespace nimbo::testing_model

// Every case of `cases`, with the seeds [first, last), on every runner of
// `runners`.
#define NIMBO_INSTANTIATE_LANE_TESTS(suite, cases, first, last, runners)            \
  INSTANTIATE_TEST_SUITE_P(                                                         \
      Cases, suite,                                                                 \
      ::testing::Combine(::testing::ValuesIn(cases), ::testing::Range(first, last), \
                         ::testing::ValuesIn(runners)),                             \
      ::nimbo::testing_model::kLaneTestName)

// In a test's body: uses the kernels of `runner` or skips the test.
#define NIMBO_USE_LANE_RUNNER(runner)                                                \
  const ::nimbo::testing_model::UsedLaneIsa used_lane_isa((runner).isa);             \
  if (!used_lane_isa.used()) {                                                       \
    GTEST_SKIP() << "the processor has no " << ::nimbo::lane_isa_name((runner).isa); \
  }
