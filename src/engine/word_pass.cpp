#include "engine/word_pass.hpp"

#include "common/checked_index.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <stdexcept>
#include <utility>

namespace nimbo {
namespace {

std::size_t words_of(std::uint64_t width) {
  return BitBusValue::words_for(width);
}

template <class Slot, TruthTable kTable>
void run_narrow(Slot* slots, const std::uint32_t* left, const std::uint32_t* right, Slot* out,
                std::size_t count, Word mask) {
  const auto slot_mask = static_cast<Slot>(mask);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<Slot>(truth_table::apply_fixed<kTable>(slots[left[i]], slots[right[i]])) &
             slot_mask;
  }
}

template <class Slot>
using NarrowRun = void (*)(Slot*, const std::uint32_t*, const std::uint32_t*, Slot*, std::size_t,
                           Word);

template <class Slot, std::size_t... kTables>
constexpr std::array<NarrowRun<Slot>, 16> narrow_runs(std::index_sequence<kTables...>) {
  return {&run_narrow<Slot, static_cast<TruthTable>(kTables)>...};
}

constexpr auto kNarrowRuns = narrow_runs<Word>(std::make_index_sequence<16>{});
constexpr auto kByteRuns = narrow_runs<std::uint8_t>(std::make_index_sequence<16>{});

}  // namespace

WordPass::WordPass(const GateGraph& graph, const Schedule& schedule, const PassPlan& plan,
                   std::span<const BitBusValue> values) {
  const auto gates = graph.gates();
  // All one bit: changes are followed gate by gate (run_sweep), readers
  // marked by words of gates, so readers of one value go side by side.
  const bool all_one_bit = std::all_of(plan.widths.begin(), plan.widths.end(),
                                       [](std::uint64_t width) { return width <= 1; });
  std::vector<std::uint32_t> reordered;
  std::span<const std::uint32_t> gate_order = plan.gate_order;
  if (all_one_bit) {
    reordered = gates_by_operands(graph, schedule, plan);
    gate_order = reordered;
  }
  std::vector<Place> place(graph.value_count());
  std::size_t next = 0;
  const auto allocate = [&](ValueId value) {
    place[value] = {checked_index(next, "value words"), plan.widths[value]};
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
  narrow_base_ = checked_index(next, "value words");
  std::size_t narrow_count = 0;
  for (const std::uint32_t g : gate_order) {
    if (plan.widths[gates[g].out] <= BitBusValue::kWordBits) ++narrow_count;
  }
  {
    std::size_t narrow_index = 0;
    for (const std::uint32_t g : gate_order) {
      const ValueId out = gates[g].out;
      if (plan.widths[out] <= BitBusValue::kWordBits) {
        place[out] = {checked_index(narrow_base_ + narrow_index++, "value words"),
                      plan.widths[out]};
      }
    }
    next = narrow_base_ + narrow_count;
    for (const std::uint32_t g : gate_order) {
      if (plan.widths[gates[g].out] > BitBusValue::kWordBits) allocate(gates[g].out);
    }
  }
  // In read order, the source of a copy is placed before the copy.
  for (const std::uint32_t p : schedule.order) {
    const BusDriver& driver = graph.driver(p);
    if (driver.kind == BusDriver::Kind::kCopy) place[p] = place[driver.source];
  }
  one_bit_ = std::all_of(place.begin(), place.end(), [](const Place& p) { return p.width <= 1; });
  if (one_bit_) {
    bytes_.assign(next, 0);
  } else {
    slots_.assign(next, 0);
  }

  left_.reserve(narrow_count);
  right_.reserve(narrow_count);
  for (std::size_t k = 0; k + 1 < plan.run_starts.size(); ++k) {
    const std::uint32_t first = plan.run_starts[k];
    const std::uint32_t end = plan.run_starts[k + 1];
    const GraphGate& sample = gates[gate_order[first]];
    const std::uint64_t width = plan.widths[sample.out];
    const bool wide = width > BitBusValue::kWordBits;
    Run run{sample.table,      wide, wide ? Word{0} : BitBusValue::narrow_mask(width), 0, 0,
            plan.run_levels[k]};
    run.begin = static_cast<std::uint32_t>(wide ? wide_.size() : left_.size());
    for (std::uint32_t i = first; i < end; ++i) {
      const GraphGate& gate = gates[gate_order[i]];
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
    for (std::size_t w = 0; w < value.word_count(); ++w) store(place[v].slot + w, value.data()[w]);
  }
  buses_.assign(place.begin(), place.begin() + static_cast<std::ptrdiff_t>(graph.bus_count()));

  // Readers of each slot, for runs that follow changes.
  const std::size_t gates_total = left_.size() + wide_.size();
  run_of_.resize(gates_total);
  for (std::uint32_t k = 0; k < runs_.size(); ++k) {
    const std::uint32_t offset = runs_[k].wide ? static_cast<std::uint32_t>(left_.size()) : 0;
    for (std::uint32_t i = runs_[k].begin; i < runs_[k].end; ++i) run_of_[offset + i] = k;
  }
  const auto operands = [&](std::uint32_t gate, auto&& visit) {
    if (gate < left_.size()) {
      visit(left_[gate]);
      if (right_[gate] != left_[gate]) visit(right_[gate]);
    } else {
      const WideGate& wide = wide_[gate - left_.size()];
      visit(wide.left);
      if (wide.right != wide.left) visit(wide.right);
    }
  };
  const std::size_t slot_count = one_bit_ ? bytes_.size() : slots_.size();
  reader_offsets_.assign(slot_count + 1, 0);
  for (std::uint32_t g = 0; g < gates_total; ++g) {
    operands(g, [&](std::uint32_t slot) { ++reader_offsets_[slot + 1]; });
  }
  for (std::size_t i = 0; i < slot_count; ++i) reader_offsets_[i + 1] += reader_offsets_[i];
  readers_.resize(reader_offsets_.back());
  std::vector<std::uint32_t> fill(reader_offsets_.begin(), reader_offsets_.end() - 1);
  for (std::uint32_t g = 0; g < gates_total; ++g) {
    operands(g, [&](std::uint32_t slot) { readers_[fill[slot]++] = g; });
  }
  waiting_.resize(plan.levels + 1);
  queued_.assign(gates_total, 0);
  sweeps_ = one_bit_ && wide_.empty();
  if (sweeps_) {
    tables_.resize(gates_total);
    for (const Run& run : runs_)
      std::fill(tables_.begin() + run.begin, tables_.begin() + run.end, run.table);
    marked_.assign((gates_total + 63) / 64, 0);
    // Readers are listed in gate order: those of one word are consecutive.
    mark_offsets_.assign(slot_count + 1, 0);
    for (std::size_t s = 0; s < slot_count; ++s) {
      std::uint32_t last_word = kNoGate;
      for (std::uint32_t i = reader_offsets_[s]; i < reader_offsets_[s + 1]; ++i) {
        const std::uint32_t word = readers_[i] / 64;
        if (word != last_word) {
          mark_words_.push_back(word);
          mark_bits_.push_back(0);
          last_word = word;
        }
        mark_bits_.back() |= Word{1} << (readers_[i] % 64);
      }
      mark_offsets_[s + 1] = checked_index(mark_words_.size(), "reader words");
    }
    // The sweep finds readers through their words alone.
    readers_ = {};
    reader_offsets_ = {};
  }
  load_inputs(values);
}

namespace {

// A run that follows changes costs several times a full run per gate it
// evaluates; past this share of the gates a full run is cheaper. A sweep
// costs about twice a full run per gate.
constexpr std::size_t kBusyShare = 8;       // one gate in eight
constexpr std::size_t kSweepBusyShare = 2;  // one gate in two
// After a run that followed changes found them too busy, full runs follow
// before changes are followed again: first this many, twice as many after
// each busy try, up to the most below.
constexpr std::size_t kFullRunsAfterBusy = 16;
constexpr std::size_t kMostFullRunsAfterBusy = 4096;

}  // namespace

void WordPass::note_change(std::uint32_t slot) {
  if (!consistent_ || changes_overflowed_) return;
  if (changed_.size() * (sweeps_ ? kSweepBusyShare : kBusyShare) >= gate_count()) {
    changes_overflowed_ = true;
    return;
  }
  changed_.push_back(slot);
}

void WordPass::load_inputs(std::span<const BitBusValue> values) {
  consistent_ = false;
  for (std::size_t p = 0; p < buses_.size() && p < values.size(); ++p) {
    if (!input_[p]) continue;
    const BitBusValue& value = values[p];
    for (std::size_t w = 0; w < value.word_count(); ++w) store(buses_[p].slot + w, value.data()[w]);
  }
}

void WordPass::write(std::size_t position, const BitBusValue& value) {
  const std::uint32_t slot = buses_[position].slot;
  bool changed = false;
  for (std::size_t w = 0; w < value.word_count(); ++w) {
    changed = changed || load(slot + w) != value.data()[w];
    store(slot + w, value.data()[w]);
  }
  if (changed) note_change(slot);
}

void WordPass::write_text(std::size_t position, std::string_view bits) {
  const std::uint32_t slot = buses_[position].slot;
  bool changed = false;
  for (std::size_t w = 0; w < words_of(bits.size()); ++w) {
    Word word = 0;
    const std::size_t end = std::min(bits.size(), (w + 1) * BitBusValue::kWordBits);
    for (std::size_t i = w * BitBusValue::kWordBits; i < end; ++i) {
      word |= Word{bits[i] == '1'} << (i % BitBusValue::kWordBits);
    }
    changed = changed || load(slot + w) != word;
    store(slot + w, word);
  }
  if (changed) note_change(slot);
}

void WordPass::run() {
  if (consistent_ && !changes_overflowed_ && full_runs_ahead_ == 0) {
    if (sweeps_) {
      run_sweep();
    } else {
      run_changes();
    }
  } else {
    run_all();
    if (full_runs_ahead_ > 0) --full_runs_ahead_;
  }
  changed_.clear();
  changes_overflowed_ = false;
  consistent_ = true;
}

void WordPass::run_changes() {
  const auto queue_readers = [&](std::uint32_t slot) {
    for (std::uint32_t i = reader_offsets_[slot], end = reader_offsets_[slot + 1]; i < end; ++i) {
      const std::uint32_t gate = readers_[i];
      if (queued_[gate]) continue;
      queued_[gate] = 1;
      waiting_[runs_[run_of_[gate]].level].push_back(gate);
    }
  };
  for (const std::uint32_t slot : changed_) queue_readers(slot);
  std::size_t evaluated = 0;
  for (std::vector<std::uint32_t>& level : waiting_) {
    // Gates of one level read only lower levels: none of them queues
    // another of the same level.
    for (const std::uint32_t gate : level) {
      queued_[gate] = 0;
      ++evaluated;
      if (evaluate(gate)) queue_readers(result_slot(gate));
    }
    level.clear();
  }
  last_evaluated_ = evaluated;
  if (evaluated * kBusyShare > gate_count()) {
    full_runs_after_busy_ =
        std::clamp(2 * full_runs_after_busy_, kFullRunsAfterBusy, kMostFullRunsAfterBusy);
    full_runs_ahead_ = full_runs_after_busy_;
  } else {
    full_runs_after_busy_ = 0;
  }
}

void WordPass::run_sweep() {
  Word* __restrict marked = marked_.data();
  const std::uint32_t* __restrict offsets = mark_offsets_.data();
  const std::uint32_t* __restrict mark_words = mark_words_.data();
  const Word* __restrict mark_bits = mark_bits_.data();
  const auto mark_readers = [&](std::uint32_t slot) {
    for (std::uint32_t i = offsets[slot], end = offsets[slot + 1]; i < end; ++i) {
      marked[mark_words[i]] |= mark_bits[i];
    }
  };
  for (const std::uint32_t slot : changed_) mark_readers(slot);
  // A gate reads only gates of lower levels, which come before it: one walk
  // in gate order evaluates every marked gate after all it reads, and the
  // readers it marks come after it.
  std::uint8_t* __restrict bytes = bytes_.data();
  const std::uint32_t* __restrict left = left_.data();
  const std::uint32_t* __restrict right = right_.data();
  const std::uint8_t* __restrict tables = tables_.data();
  const std::uint32_t base = narrow_base_;
  std::size_t evaluated = 0;
  const std::size_t words = marked_.size();
  for (std::size_t w = 0; w < words; ++w) {
    // The marked gates of a word are evaluated in gate order without a
    // branch on whether each changed (which goes either way); then the
    // readers of those that changed are marked. A reader in the same word
    // comes after its gate: it is evaluated in the next round of the word,
    // and again if one of its operands changes in a later round, so each
    // gate ends on the value of its final operands.
    for (Word pending = std::exchange(marked[w], 0); pending != 0;
         pending = std::exchange(marked[w], 0)) {
      Word changed = 0;
      for (Word rest = pending; rest != 0; rest &= rest - 1) {
        const auto bit = static_cast<unsigned>(std::countr_zero(rest));
        const auto gate = static_cast<std::uint32_t>(w * 64 + bit);
        const auto value = static_cast<std::uint8_t>(
            (tables[gate] >> (bytes[left[gate]] | bytes[right[gate]] << 1)) & 1U);
        std::uint8_t& out = bytes[base + gate];
        changed |= Word{static_cast<std::uint8_t>(value ^ out)} << bit;
        out = value;
        ++evaluated;
      }
      for (; changed != 0; changed &= changed - 1) {
        mark_readers(base + static_cast<std::uint32_t>(w * 64) +
                     static_cast<std::uint32_t>(std::countr_zero(changed)));
      }
    }
  }
  last_evaluated_ = evaluated;
  if (evaluated * kSweepBusyShare > gate_count()) {
    full_runs_after_busy_ =
        std::clamp(2 * full_runs_after_busy_, kFullRunsAfterBusy, kMostFullRunsAfterBusy);
    full_runs_ahead_ = full_runs_after_busy_;
  } else {
    full_runs_after_busy_ = 0;
  }
}

bool WordPass::evaluate(std::uint32_t gate) {
  const Run& run = runs_[run_of_[gate]];
  if (one_bit_) {
    std::uint8_t* bytes = bytes_.data();
    std::uint8_t& out = bytes[narrow_base_ + gate];
    const auto value = static_cast<std::uint8_t>(
        truth_table::apply(run.table, bytes[left_[gate]], bytes[right_[gate]]) & run.mask);
    if (value == out) return false;
    out = value;
    return true;
  }
  Word* slots = slots_.data();
  if (gate < left_.size()) {
    Word& out = slots[narrow_base_ + gate];
    const Word value =
        truth_table::apply(run.table, slots[left_[gate]], slots[right_[gate]]) & run.mask;
    if (value == out) return false;
    out = value;
    return true;
  }
  const WideGate& wide = wide_[gate - left_.size()];
  bool changed = false;
  for (std::uint32_t w = 0; w < wide.words; ++w) {
    Word value = truth_table::apply(wide.table, slots[wide.left + w], slots[wide.right + w]);
    if (w + 1 == wide.words) value &= wide.tail_mask;
    changed = changed || slots[wide.out + w] != value;
    slots[wide.out + w] = value;
  }
  return changed;
}

std::vector<std::uint32_t> WordPass::cone_of(std::span<const std::uint32_t> positions) {
  const std::size_t gates = gate_count();
  if (driver_of_.empty()) {
    driver_of_.assign(one_bit_ ? bytes_.size() : slots_.size(), kNoGate);
    for (std::uint32_t g = 0; g < gates; ++g) driver_of_[result_slot(g)] = g;
    cone_marks_.assign(gates, 0);
  }
  if (++cone_mark_ == 0) {  // the marks wrapped around: none is this call's
    std::fill(cone_marks_.begin(), cone_marks_.end(), 0);
    cone_mark_ = 1;
  }
  std::vector<std::uint32_t> cone;
  std::vector<std::uint32_t> stack;
  const auto reach = [&](std::uint32_t slot) {
    const std::uint32_t g = driver_of_[slot];
    if (g == kNoGate || cone_marks_[g] == cone_mark_) return;
    cone_marks_[g] = cone_mark_;
    cone.push_back(g);
    stack.push_back(g);
  };
  for (const std::uint32_t p : positions) reach(buses_[p].slot);
  while (!stack.empty()) {
    const std::uint32_t g = stack.back();
    stack.pop_back();
    if (g < left_.size()) {
      reach(left_[g]);
      reach(right_[g]);
    } else {
      const WideGate& wide = wide_[g - left_.size()];
      reach(wide.left);
      reach(wide.right);
    }
  }
  // A gate reads only gates of lower levels: by level, each comes after
  // what it reads.
  std::sort(cone.begin(), cone.end(), [&](std::uint32_t a, std::uint32_t b) {
    const std::uint32_t level_a = runs_[run_of_[a]].level;
    const std::uint32_t level_b = runs_[run_of_[b]].level;
    return level_a != level_b ? level_a < level_b : a < b;
  });
  return cone;
}

void WordPass::run_gates(std::span<const std::uint32_t> gates) {
  for (const std::uint32_t gate : gates) {
    if (evaluate(gate)) note_change(result_slot(gate));
  }
}

void WordPass::run_all() {
  last_evaluated_ = gate_count();
  if (one_bit_) {
    std::uint8_t* bytes = bytes_.data();
    for (const Run& run : runs_) {
      kByteRuns[run.table](bytes, left_.data() + run.begin, right_.data() + run.begin,
                           bytes + narrow_base_ + run.begin, run.end - run.begin, run.mask);
    }
    return;
  }
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
    value.set_narrow(place.width, load(place.slot));
    return;
  }
  value.resize_for_overwrite(place.width);
  std::copy_n(slots_.begin() + place.slot, value.word_count(), value.data());
}

}  // namespace nimbo
