#include "component/word_pass.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <utility>

namespace nimbo {
namespace {

std::uint32_t checked_slot(std::size_t slot) {
  if (slot >= std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("too many value words in one component");
  }
  return static_cast<std::uint32_t>(slot);
}

std::size_t words_of(std::uint64_t width) {
  return BitBusValue::words_for(width);
}

template <TruthTable kTable>
void run_narrow(Word* slots, const std::uint32_t* left, const std::uint32_t* right, Word* out,
                std::size_t count, Word mask) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = truth_table::apply_fixed<kTable>(slots[left[i]], slots[right[i]]) & mask;
  }
}

using NarrowRun = void (*)(Word*, const std::uint32_t*, const std::uint32_t*, Word*, std::size_t,
                           Word);

template <std::size_t... kTables>
constexpr std::array<NarrowRun, 16> narrow_runs(std::index_sequence<kTables...>) {
  return {&run_narrow<static_cast<TruthTable>(kTables)>...};
}

constexpr std::array<NarrowRun, 16> kNarrowRuns = narrow_runs(std::make_index_sequence<16>{});

}  // namespace

WordPass::WordPass(const GateGraph& graph, const Schedule& schedule, const PassPlan& plan,
                   const BusTable& busses) {
  const auto gates = graph.gates();
  std::vector<Place> place(graph.value_count());
  std::size_t next = 0;
  const auto allocate = [&](ValueId value) {
    place[value] = {checked_slot(next), plan.widths[value]};
    next += words_of(plan.widths[value]);
  };

  // Constants and inputs first, then narrow results in run order, then wide ones.
  for (ValueId v = static_cast<ValueId>(graph.bus_count()); v < graph.value_count(); ++v) {
    if (graph.is_constant(v)) allocate(v);
  }
  input_.assign(graph.bus_count(), false);
  for (std::size_t p = 0; p < graph.bus_count(); ++p) {
    if (graph.driver(p).kind == BusDriver::Kind::kInput) {
      input_[p] = true;
      allocate(static_cast<ValueId>(p));
    }
  }
  narrow_base_ = checked_slot(next);
  std::size_t narrow_count = 0;
  for (const std::uint32_t g : plan.gate_order) {
    if (plan.widths[gates[g].out] <= BitBusValue::kWordBits) ++narrow_count;
  }
  {
    std::size_t narrow_index = 0;
    for (const std::uint32_t g : plan.gate_order) {
      const ValueId out = gates[g].out;
      if (plan.widths[out] <= BitBusValue::kWordBits) {
        place[out] = {checked_slot(narrow_base_ + narrow_index++), plan.widths[out]};
      }
    }
    next = narrow_base_ + narrow_count;
    for (const std::uint32_t g : plan.gate_order) {
      if (plan.widths[gates[g].out] > BitBusValue::kWordBits) allocate(gates[g].out);
    }
  }
  // In read order, the source of a copy is placed before the copy.
  for (const std::uint32_t p : schedule.order) {
    const BusDriver& driver = graph.driver(p);
    if (driver.kind == BusDriver::Kind::kCopy) place[p] = place[driver.source];
  }
  slots_.assign(next, 0);

  left_.reserve(narrow_count);
  right_.reserve(narrow_count);
  for (std::size_t k = 0; k + 1 < plan.run_starts.size(); ++k) {
    const std::uint32_t first = plan.run_starts[k];
    const std::uint32_t end = plan.run_starts[k + 1];
    const GraphGate& sample = gates[plan.gate_order[first]];
    const std::uint64_t width = plan.widths[sample.out];
    const bool wide = width > BitBusValue::kWordBits;
    Run run{sample.table, wide, wide ? Word{0} : BitBusValue::narrow_mask(width), 0, 0};
    run.begin = static_cast<std::uint32_t>(wide ? wide_.size() : left_.size());
    for (std::uint32_t i = first; i < end; ++i) {
      const GraphGate& gate = gates[plan.gate_order[i]];
      if (wide) {
        wide_.push_back({gate.table, place[gate.left].slot, place[gate.right].slot,
                         place[gate.out].slot, static_cast<std::uint32_t>(words_of(width)),
                         BitBusValue::tail_mask(width)});
      } else {
        left_.push_back(place[gate.left].slot);
        right_.push_back(place[gate.right].slot);
      }
    }
    run.end = static_cast<std::uint32_t>(wide ? wide_.size() : left_.size());
    runs_.push_back(run);
  }

  for (ValueId v = static_cast<ValueId>(graph.bus_count()); v < graph.value_count(); ++v) {
    if (!graph.is_constant(v)) continue;
    const BitBusValue& value = graph.constant(v);
    std::copy_n(value.data(), value.word_count(), slots_.begin() + place[v].slot);
  }
  buses_.assign(place.begin(), place.begin() + static_cast<std::ptrdiff_t>(graph.bus_count()));
  load_inputs(busses);
}

void WordPass::load_inputs(const BusTable& busses) {
  for (std::size_t p = 0; p < buses_.size(); ++p) {
    if (!input_[p]) continue;
    const BitBusValue& value = busses.value(p);
    std::copy_n(value.data(), value.word_count(), slots_.begin() + buses_[p].slot);
  }
}

void WordPass::write(std::size_t position, const BitBusValue& value) {
  std::copy_n(value.data(), value.word_count(), slots_.begin() + buses_[position].slot);
}

void WordPass::write_text(std::size_t position, std::string_view bits) {
  Word* words = slots_.data() + buses_[position].slot;
  std::fill_n(words, words_of(bits.size()), Word{0});
  for (std::size_t i = 0; i < bits.size(); ++i) {
    words[i / BitBusValue::kWordBits] |= Word{bits[i] == '1'} << (i % BitBusValue::kWordBits);
  }
}

void WordPass::run() {
  Word* slots = slots_.data();
  for (const Run& run : runs_) {
    if (!run.wide) {
      kNarrowRuns[run.table](slots, left_.data() + run.begin, right_.data() + run.begin,
                             slots + narrow_base_ + run.begin, run.end - run.begin, run.mask);
      continue;
    }
    for (std::uint32_t i = run.begin; i < run.end; ++i) {
      const WideGate& gate = wide_[i];
      const Word* l = slots + gate.left;
      const Word* r = slots + gate.right;
      Word* out = slots + gate.out;
      for (std::uint32_t w = 0; w < gate.words; ++w)
        out[w] = truth_table::apply(gate.table, l[w], r[w]);
      out[gate.words - 1] &= gate.tail_mask;
    }
  }
}

void WordPass::read(std::size_t position, BitBusValue& value) const {
  const Place& place = buses_[position];
  if (place.width <= BitBusValue::kWordBits) {
    value.set_narrow(place.width, slots_[place.slot]);
    return;
  }
  value.resize_for_overwrite(place.width);
  std::copy_n(slots_.begin() + place.slot, value.word_count(), value.data());
}

}  // namespace nimbo
