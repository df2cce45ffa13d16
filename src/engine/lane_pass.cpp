#include "engine/lane_pass.hpp"

#include "common/checked_index.hpp"
#include "engine/lane_isa.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace nimbo {
namespace {

constexpr LanePass::Signal kZero = LanePass::kAllZero;
constexpr LanePass::Signal kOne = LanePass::kAllOne;

std::size_t words_index(std::size_t words) {
  return words == 1 ? 0 : words == 2 ? 1 : words == 4 ? 2 : 3;
}

}  // namespace

LanePass::LanePass(const GateGraph& graph, const Schedule& schedule, const PassPlan& plan) {
  const auto gates = graph.gates();
  const std::size_t values = graph.value_count();
  // Which values have signals: busses, constants, and results of gates.
  std::vector<bool> has_signals(values, false);
  for (std::size_t v = 0; v < values; ++v) {
    has_signals[v] =
        graph.is_bus(static_cast<ValueId>(v)) || graph.is_constant(static_cast<ValueId>(v));
  }
  for (const GraphGate& gate : gates) has_signals[gate.out] = true;
  std::vector<std::uint32_t> offsets(values + 1, 0);
  for (std::size_t v = 0; v < values; ++v) {
    offsets[v + 1] =
        checked_index(offsets[v] + (has_signals[v] ? plan.widths[v] : 0), "value bits");
  }
  std::vector<Signal> list(offsets[values]);
  const auto of = [&](ValueId v) { return list.data() + offsets[v]; };

  Signal next = 2;  // after the two constant signals
  input_first_.assign(graph.bus_count(), kNoSignal);
  for (ValueId v = 0; v < values; ++v) {
    if (graph.is_bus(v) && graph.driver(v).kind == BusDriver::Kind::kInput) input_first_[v] = next;
    if (graph.is_constant(v)) {
      const BitBusValue& constant = graph.constant(v);
      for (std::size_t i = 0; i < constant.width(); ++i) of(v)[i] = constant.bit(i) ? kOne : kZero;
    } else if (graph.is_bus(v) && graph.driver(v).kind == BusDriver::Kind::kInput) {
      for (std::size_t i = 0; i < plan.widths[v]; ++i) of(v)[i] = next++;
    }
  }
  // Results first, then copies (in read order, a copy's source has its
  // signals before the copy), then the operands, which may be either.
  first_gate_signal_ = next;
  for (const std::uint32_t g : plan.gate_order) {
    const GraphGate& gate = gates[g];
    for (std::size_t bit = 0; bit < plan.widths[gate.out]; ++bit) of(gate.out)[bit] = next++;
  }
  for (const std::uint32_t p : schedule.order) {
    const BusDriver& driver = graph.driver(p);
    if (driver.kind == BusDriver::Kind::kCopy) {
      std::copy_n(of(driver.source), plan.widths[p], of(p));
    }
  }
  for (std::size_t k = 0; k + 1 < plan.run_starts.size(); ++k) {
    Run run{gates[plan.gate_order[plan.run_starts[k]]].table,
            checked_index(left_.size(), "value bits"), 0};
    for (std::uint32_t i = plan.run_starts[k]; i < plan.run_starts[k + 1]; ++i) {
      const GraphGate& gate = gates[plan.gate_order[i]];
      for (std::size_t bit = 0; bit < plan.widths[gate.out]; ++bit) {
        left_.push_back(of(gate.left)[bit]);
        right_.push_back(of(gate.right)[bit]);
      }
    }
    run.end = checked_index(left_.size(), "value bits");
    if (run.end != run.begin) runs_.push_back(run);
  }
  signal_count_ = first_gate_signal_ + left_.size();

  const std::size_t busses = graph.bus_count();
  bus_offsets_.assign(offsets.begin(), offsets.begin() + static_cast<std::ptrdiff_t>(busses) + 1);
  bus_signals_.assign(list.begin(), list.begin() + offsets[busses]);
  set_lane_words(1);
}

void LanePass::fit(std::size_t vectors) {
  // As many lane words as the vectors fill, up to what the kernels in use
  // combine in one or two instructions: a gate reads its operands' words
  // from one cache line each, so wider lanes cost little more per pass even
  // when the lanes outgrow the cache (see docs/benchmarks.md). The lanes
  // stay within a budget of memory.
  constexpr std::size_t kLaneBudget = std::size_t{256} << 20;  // bytes of lane words
  const std::size_t widest = widest_lane_words(lane_isa());
  std::size_t words = 1;
  while (words < widest && 64 * words < vectors &&
         signal_count() * words * 2 * sizeof(Word) <= kLaneBudget) {
    words *= 2;
  }
  if (lane_words() != words) set_lane_words(words);
}

void LanePass::set_lane_words(std::size_t words) {
  lane_words_ = words;
  lanes_.assign(signal_count_ * words, 0);
  std::fill_n(lanes(kOne), words, ~Word{0});
}

void LanePass::clear_inputs() noexcept {
  std::fill(lanes_.begin() + static_cast<std::ptrdiff_t>(2 * lane_words_),
            lanes_.begin() + static_cast<std::ptrdiff_t>(first_gate_signal_ * lane_words_),
            Word{0});
}

void LanePass::load_inputs(const WordPass& words, std::span<const std::uint32_t> inputs) {
  for (const std::uint32_t p : inputs) {
    const auto bits = signals(p);
    for (std::size_t i = 0; i < bits.size(); ++i) fill(bits[i], 0, block_size(), words.bit(p, i));
  }
}

void LanePass::fill(Signal signal, std::size_t from, std::size_t to, bool on) noexcept {
  Word* words = lanes(signal);
  while (from < to) {
    const std::size_t index = from / 64;
    const std::size_t end = std::min(to, (index + 1) * 64);
    const std::size_t count = end - from;
    const Word mask = (count == 64 ? ~Word{0} : ((Word{1} << count) - 1)) << (from % 64);
    words[index] = on ? (words[index] | mask) : (words[index] & ~mask);
    from = end;
  }
}

void LanePass::run() {
  const auto& table = lane_kernels_in_use().runs[words_index(lane_words_)];
  const Word* all = lanes_.data();
  Word* out = lanes_.data() + static_cast<std::size_t>(first_gate_signal_) * lane_words_;
  for (const Run& run : runs_) {
    table[run.table](all, left_.data() + run.begin, right_.data() + run.begin,
                     out + static_cast<std::size_t>(run.begin) * lane_words_, run.end - run.begin);
  }
}

void LanePass::read(std::size_t position, std::size_t lane, BitBusValue& value) const {
  const auto bits = signals(position);
  if (bits.size() <= BitBusValue::kWordBits) {
    Word word = 0;
    for (std::size_t i = 0; i < bits.size(); ++i) word |= Word{bit(bits[i], lane)} << i;
    value.set_narrow(bits.size(), word);
    return;
  }
  value = BitBusValue::zeros(bits.size());
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bit(bits[i], lane)) value.set_bit(i, true);
  }
}

}  // namespace nimbo
