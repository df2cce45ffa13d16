// The worklist update, and why skipping evaluations keeps it exact.
//
// Call a driven bus q stale unless its value equals its assignment evaluated
// over the current values of the table. The worklist keeps one bit per
// position that is set for every stale bus (it may also be set for a bus
// that is not stale):
// - at first every driven bus has it (nothing was evaluated);
// - evaluating q stores exactly its assignment's value, so q's bit is
//   cleared; when q's value changed, the bit of every driven bus whose
//   assignment reads q is set (q's own too when it reads itself);
// - a value written from outside that changes a bus sets the bits of the
//   busses that read it, and its own when it is driven.
// An assignment reads only the busses its gates name (constants and the
// inner results of its tree are recomputed by each evaluation), so no other
// event can make a bus stale: the bit covers every stale bus.
//
// Hence evaluating a bus whose bit is clear gives the value it holds: the
// evaluation changes nothing and appends nothing. Such evaluations are
// skipped, and only counted, so the order of the busses taken, the values,
// the evaluation count and the work that bounds a component with feedback
// (and the message that names them) are those of the full algorithm.
//
// Counting the skipped seeds needs no walk over them. While the seeds are
// taken, a bus changes only when it is taken itself (appended busses wait
// behind every seed, and no bus waits twice), so the words it adds to the
// work are those of its value once its own evaluation is done. After the
// seeds, the work is therefore the number of busses plus the words of every
// driven value, a sum kept up to date as values change width.
//
// The seeds of one word of the bits are walked from a register copy of it.
// Evaluating a seed clears its own bit (already out of the copy) and sets
// bits only when its value changed; so the copy misses a set bit at or
// after the walk's position only after a change, and the readers that
// change marks in the same word after it are added to the copy then (the
// general form reads the word again instead). The walk therefore takes the
// same seeds, in the same order, as reading the word before each one. The
// byte form below also clears the word when the walk starts, and a change
// marks in it only the readers at or before the seed taken (those after it
// go to the copy alone): each seed's bit is then clear when it is taken,
// and those it marks stay set, as if each were cleared when taken. An
// interrupt puts the copy back into the word.
//
// The byte form. While every bus holds a value one bit wide and every
// constant the graph reads is one bit wide, every evaluation gives one bit
// again: a gate's result has the smaller width of its operands, a copy the
// width of its source, and a write is refused unless it has the bus's
// width (a restore goes through forget(), which counts the widths again).
// The same loop then runs with each value read from a byte per value of the
// graph (bits_: busses, constants, temporaries) and a gate evaluated as
// the bit of its truth table that its two operand bits select; a change is
// written to the byte and to the word of the table, which stays the home of
// every value, so the two agree after every write. A value one word wide
// counts one word of work, as in the general form, so the order, the
// values, the counts, the work limit and every message are the same. The
// general form writes only the table: the bytes are read again from it
// before the byte form runs after it. odd_widths_ counts the busses not one
// bit wide, kept up to date wherever a value is stored. A tree of several
// gates that reads at most three values (a multiplexer) is one lookup in a
// table of eight bits worked out from its gates when the worklist is built:
// its inner results are read by nothing but its own later gates, and the
// value of the tree is a function of the bits of the values it reads (its
// own bus among them, read before it is written).
#include "engine/worklist.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <string>

#include "common/checked_index.hpp"
#include "engine/messages.hpp"

namespace nimbo {

namespace {

// A component with feedback may keep changing for ever. Its update stops
// once it has done this much work: a fixed allowance plus a share per bus
// and per influence entry. Work counts each bus taken from the worklist and
// each word of each evaluated value, so a ring of wide busses stops as soon
// as a ring of narrow ones, and a change that appends many busses without
// assignments counts for all of them.
constexpr std::uint64_t kWorkAllowance = std::uint64_t{1} << 27;
constexpr std::uint64_t kWorkPerElement = 64;

}  // namespace

std::optional<Worklist::ThreeInputs> Worklist::three_inputs(const GateGraph& graph,
                                                            std::span<const GraphGate> gates) {
  // The values read other than the tree's own inner results (a tree may
  // read its own bus: that is its value before the evaluation).
  ValueId leaves[3] = {};
  std::size_t leaf_count = 0;
  for (const GraphGate& gate : gates) {
    for (const ValueId value : {gate.left, gate.right}) {
      if (graph.is_temporary(value) ||
          std::find(leaves, leaves + leaf_count, value) != leaves + leaf_count) {
        continue;
      }
      if (leaf_count == 3) return std::nullopt;
      leaves[leaf_count++] = value;
    }
  }
  if (leaf_count == 0) return std::nullopt;
  // Unused places read the first value again: the table does not depend on
  // them.
  for (std::size_t i = leaf_count; i < 3; ++i) leaves[i] = leaves[0];
  ThreeInputs three{leaves[0], leaves[1], leaves[2], 0};
  for (unsigned index = 0; index < 8; ++index) {
    // The bit of each value for this index: a value in several places takes
    // the bit of its first (the others read the same byte).
    const auto bit_of = [&](ValueId value,
                            const std::vector<std::pair<ValueId, unsigned>>& results) {
      if (graph.is_temporary(value)) {
        for (const auto& [out, bit] : results) {
          if (out == value) return bit;
        }
      }
      for (unsigned i = 0; i < 3; ++i) {
        if (leaves[i] == value) return (index >> i) & 1U;
      }
      return 0U;
    };
    bool consistent = true;
    for (unsigned i = 0; i < 3; ++i) {
      if (leaves[i] == leaves[0] && ((index >> i) & 1U) != (index & 1U)) consistent = false;
    }
    if (!consistent) continue;  // an index the byte form never forms
    std::vector<std::pair<ValueId, unsigned>> results;
    unsigned last = 0;
    for (const GraphGate& gate : gates) {
      last = (gate.table >> (bit_of(gate.left, results) | (bit_of(gate.right, results) << 1))) & 1U;
      results.emplace_back(gate.out, last);
    }
    three.table = static_cast<std::uint8_t>(three.table | (last << index));
  }
  return three;
}

std::uint64_t Worklist::work_limit(std::size_t busses, std::size_t influence_entries) noexcept {
  return kWorkAllowance + kWorkPerElement * (busses + influence_entries);
}

Worklist::Worklist(const GateGraph& graph, const BusTable& busses,
                   std::span<const BitBusValue> values)
    : count_(busses.size()) {
  const std::size_t count = count_;
  state_.assign(count, 0);
  operands_.assign(count, Operands{});
  influence_offsets_.assign(count + 1, 0);
  for (std::size_t p = 0; p < count; ++p) {
    // Entries that name no position are dropped here once instead of being
    // skipped at every change.
    influence_offsets_[p] = checked_index(influence_targets_.size(), "influence entries");
    bool influences_earlier = false;
    for (const std::uint64_t target : busses.influence_list(p)) {
      if (target >= count) continue;
      influence_targets_.push_back(static_cast<std::uint32_t>(target));
      influences_earlier = influences_earlier || target <= p;
    }
    const BusDriver& driver = graph.driver(p);
    const auto gates = graph.gates_of(p);
    if (driver.kind == BusDriver::Kind::kCopy) {
      // As a gate, the copy is the table of its left operand, read twice.
      state_[p] = state_of(Shape::kCopy, kCopyTable);
      operands_[p] = {driver.source, driver.source};
    } else if (driver.kind == BusDriver::Kind::kGates && gates.size() == 1 &&
               graph.is_bus(gates[0].left) && graph.is_bus(gates[0].right)) {
      state_[p] = state_of(Shape::kGate, gates[0].table);
      operands_[p] = {gates[0].left, gates[0].right};
    } else if (driver.kind == BusDriver::Kind::kGates) {
      state_[p] = state_of(Shape::kGates, 0);
      if (const auto three = three_inputs(graph, gates)) {
        three_inputs_.push_back(*three);
        operands_[p] = {checked_index(three_inputs_.size(), "gate trees"), 0};
      }
    }
    if (influences_earlier) state_[p] |= kInfluencesEarlier;
  }
  influence_offsets_[count] = checked_index(influence_targets_.size(), "influence entries");

  // Readers of each bus, each listed once.
  reader_offsets_.assign(count + 1, 0);
  std::vector<std::uint32_t> last_reader(count, std::numeric_limits<std::uint32_t>::max());
  for (std::size_t q = 0; q < count; ++q) {
    graph.for_each_bus_read(q, [&](ValueId r) {
      if (last_reader[r] == q) return;
      last_reader[r] = static_cast<std::uint32_t>(q);
      ++reader_offsets_[r + 1];
    });
  }
  for (std::size_t i = 0; i < count; ++i) reader_offsets_[i + 1] += reader_offsets_[i];
  readers_.resize(reader_offsets_[count]);
  std::vector<std::uint32_t> fill(reader_offsets_.begin(), reader_offsets_.end() - 1);
  std::fill(last_reader.begin(), last_reader.end(), std::numeric_limits<std::uint32_t>::max());
  for (std::size_t q = 0; q < count; ++q) {
    graph.for_each_bus_read(q, [&](ValueId r) {
      if (last_reader[r] == q) return;
      last_reader[r] = static_cast<std::uint32_t>(q);
      readers_[fill[r]++] = static_cast<std::uint32_t>(q);
    });
  }

  constants_one_bit_ = true;
  for (auto v = static_cast<ValueId>(count); v < graph.value_count(); ++v) {
    if (graph.is_constant(v) && graph.constant(v).width() != 1) constants_one_bit_ = false;
  }
  temporaries_.assign(graph.temporary_count(), BitBusValue());
  queue_.assign(count, 0);
  forget(values);
}

void Worklist::forget(std::span<const BitBusValue> values) {
  stale_.assign((count_ + 63) / 64, 0);
  driven_ = 0;
  driven_words_ = 0;
  odd_widths_ = 0;
  bits_valid_ = false;
  for (std::uint32_t p = 0; p < count_; ++p) {
    odd_widths_ += static_cast<std::size_t>(values[p].width() != 1);
    if (shape_of(state_[p]) == Shape::kNone) continue;
    mark_stale(p);
    ++driven_;
    driven_words_ += values[p].word_count();
  }
}

void Worklist::note_written(std::uint32_t position) {
  if (shape_of(state_[position]) != Shape::kNone) mark_stale(position);
  mark_readers_stale(position);
}

void Worklist::write(std::span<BitBusValue> values, std::uint32_t position,
                     const BitBusValue& value) {
  BitBusValue& current = values[position];
  if (value == current) return;
  driven_words_ -= shape_of(state_[position]) != Shape::kNone ? current.word_count() : 0;
  note_width(current.width(), value.width());
  current = value;
  driven_words_ += shape_of(state_[position]) != Shape::kNone ? current.word_count() : 0;
  bits_valid_ = bits_valid_ && value.width() == 1;
  if (bits_valid_) bits_[position] = static_cast<std::uint8_t>(value.narrow_word());
  note_written(position);
}

void Worklist::write_text(std::span<BitBusValue> values, std::uint32_t position,
                          std::string_view bits) {
  if (bits_valid_ && bits.size() == 1 && values[position].width() == 1) {
    // One bit over one bit: the byte is the table's value.
    const auto bit = static_cast<std::uint8_t>(bits[0] == '1');
    if (bits_[position] == bit) return;
    bits_[position] = bit;
    *values[position].data() = bit;
    note_written(position);
    return;
  }
  written_.assign_text(bits);
  write(values, position, written_);
}

bool Worklist::use_bits(std::span<const BitBusValue> values, const GateGraph& graph) {
  if (!constants_one_bit_ || odd_widths_ != 0) return false;
  if (bits_valid_) return true;
  bits_.assign(graph.value_count(), 0);
  for (std::size_t p = 0; p < count_; ++p) {
    bits_[p] = static_cast<std::uint8_t>(values[p].narrow_word());
  }
  for (auto v = static_cast<ValueId>(count_); v < graph.value_count(); ++v) {
    if (graph.is_constant(v)) bits_[v] = static_cast<std::uint8_t>(graph.constant(v).narrow_word());
  }
  bits_valid_ = true;
  return true;
}

const BitBusValue& Worklist::value_of(std::span<const BitBusValue> values, const GateGraph& graph,
                                      ValueId value) const {
  if (graph.is_bus(value)) return values[value];
  if (graph.is_constant(value)) return graph.constant(value);
  return temporaries_[graph.temporary_index(value)];
}

// Inlined into the settle loop: a call per evaluation costs as much as the
// evaluation itself.
[[gnu::always_inline]] inline bool Worklist::evaluate_and_store(std::span<BitBusValue> all,
                                                                const GateGraph& graph,
                                                                std::uint32_t position,
                                                                std::uint8_t state) {
  const Operands operands = operands_[position];
  BitBusValue* values = all.data();
  BitBusValue& current = values[position];
  clear_stale(position);
  switch (shape_of(state)) {
    case Shape::kNone:
      return false;
    case Shape::kGate: {
      const BitBusValue& left = values[operands.a];
      const BitBusValue& right = values[operands.b];
      if (left.is_narrow() && right.is_narrow()) {
        const std::size_t width = std::min(left.width(), right.width());
        const Word word =
            truth_table::apply(table_of(state), left.narrow_word(), right.narrow_word()) &
            BitBusValue::narrow_mask(width);
        if (current.equals_narrow(width, word)) return false;
        driven_words_ += 1;
        driven_words_ -= current.word_count();
        note_width(current.width(), width);
        current.set_narrow(width, word);
        mark_readers_stale(position);
        return true;
      }
      scratch_.assign_table(table_of(state), left, right);
      break;
    }
    case Shape::kCopy: {
      const BitBusValue& source = value_of(all, graph, operands.a);
      if (source == current) return false;
      driven_words_ += source.word_count();
      driven_words_ -= current.word_count();
      note_width(current.width(), source.width());
      current = source;
      mark_readers_stale(position);
      return true;
    }
    case Shape::kGates:
      for (const GraphGate& gate : graph.gates_of(position)) {
        BitBusValue& out =
            gate.out == position ? scratch_ : temporaries_[graph.temporary_index(gate.out)];
        out.assign_table(gate.table, value_of(all, graph, gate.left),
                         value_of(all, graph, gate.right));
      }
      break;
  }
  if (scratch_ == current) return false;
  driven_words_ += scratch_.word_count();
  driven_words_ -= current.word_count();
  note_width(current.width(), scratch_.width());
  std::swap(scratch_, current);
  mark_readers_stale(position);
  return true;
}

[[gnu::always_inline]] inline bool Worklist::evaluate_bit(std::span<BitBusValue> values,
                                                          const GateGraph& graph,
                                                          std::uint32_t position,
                                                          std::uint8_t state) {
  std::uint8_t* bits = bits_.data();
  std::uint8_t bit = 0;
  const Shape shape = shape_of(state);
  if (shape == Shape::kGate || shape == Shape::kCopy) {
    const Operands operands = operands_[position];
    bit = (state >> (2 + (bits[operands.a] | (bits[operands.b] << 1)))) & 1U;
  } else if (shape == Shape::kGates && operands_[position].a != 0) {
    const ThreeInputs& three = three_inputs_[operands_[position].a - 1];
    bit = (three.table >> (bits[three.x] | (bits[three.y] << 1) | (bits[three.z] << 2))) & 1U;
  } else if (shape == Shape::kGates) {
    for (const GraphGate& gate : graph.gates_of(position)) {
      const auto out = static_cast<std::uint8_t>(
          (gate.table >> (bits[gate.left] | (bits[gate.right] << 1))) & 1U);
      if (gate.out == position) {
        bit = out;
      } else {
        bits[gate.out] = out;
      }
    }
  } else {
    return false;
  }
  if (bit == bits[position]) return false;
  bits[position] = bit;
  *values[position].data() = bit;
  return true;
}

Status Worklist::settle(std::span<BitBusValue> values, const GateGraph& graph, bool feedback,
                        const UpdateControl& control) {
  last_on_bits_ = use_bits(values, graph);
  if (last_on_bits_) return run<true>(values, graph, feedback, control);
  bits_valid_ = false;  // the general form writes the table alone
  return run<false>(values, graph, feedback, control);
}

template <bool kBits>
Status Worklist::run(std::span<BitBusValue> values, const GateGraph& graph, bool feedback,
                     const UpdateControl& control) {
  // Every bus starts out waiting, in table order. The seeds are taken by
  // walking the positions, so while position `seed` is being taken every
  // position from `seed` on is still waiting as a seed. Ids appended later go
  // to a ring behind all seeds (first-in first-out) and carry the waiting
  // flag in their state byte. No id waits twice, so the ring of `count`
  // slots never overflows.
  const std::size_t count = count_;
  std::uint8_t* state = state_.data();
  const std::uint32_t* offsets = influence_offsets_.data();
  const std::uint32_t* targets = influence_targets_.data();
  std::uint32_t* queue = queue_.data();
  const std::uint64_t limit = !feedback                 ? std::numeric_limits<std::uint64_t>::max()
                              : control.work_limit != 0 ? control.work_limit
                                                        : work_limit();
  std::uint64_t evaluations = 0;  // counted as the full algorithm counts them
  std::uint64_t evaluations_run = 0;
  std::uint64_t work = 0;  // likewise
  std::uint64_t done = 0;  // work actually done, for the interrupt polls
  std::uint64_t next_poll = UpdateControl::kWorkBetweenClockLooks;
  std::size_t head = 0;
  std::size_t waiting = 0;  // ids in the ring
  unsettled_ = {};

  // Appends the influenced positions that are not waiting; positions from
  // `first_seed` on are seeds still to be taken.
  const auto propagate = [&](std::uint32_t position, std::size_t first_seed) {
    for (std::uint32_t i = offsets[position], end = offsets[position + 1]; i != end; ++i) {
      const std::uint32_t target = targets[i];
      if (target >= first_seed || (state[target] & kWaiting)) continue;
      state[target] |= kWaiting;
      std::size_t tail = head + waiting;
      if (tail >= count) tail -= count;
      queue[tail] = target;
      ++waiting;
    }
  };
  // Ends the update early: forgets what is waiting, so the next update
  // starts afresh.
  const auto stop = [&](Error error) -> Status {
    last_evaluations_ = evaluations;
    last_evaluations_run_ = evaluations_run;
    for (; waiting != 0; --waiting) {
      state[queue[head]] &= static_cast<std::uint8_t>(~kWaiting);
      head = head + 1 == count ? 0 : head + 1;
    }
    return error;
  };
  // Counted here, where the loop keeps it in a register; the control looks
  // at the clock.
  const auto interrupted = [&] {
    if (done < next_poll) return false;
    next_poll = done + UpdateControl::kWorkBetweenClockLooks;
    return control.due();
  };
  const auto interruption = [] { return messages::interrupted(); };
  // Every value is one word wide on bits_.
  const auto words_of = [&](std::uint32_t position) -> std::size_t {
    if constexpr (kBits) {
      return 1;
    } else {
      return values[position].word_count();
    }
  };

  // The seeds: only stale busses are evaluated, in table order. While seeds
  // are taken, a change appends only influenced positions at or before the
  // one just taken (later ones are waiting seeds), so a position whose list
  // names none of those needs no look at its list: in a circuit declared in
  // dependency order that is every position.
  const std::size_t words = stale_.size();
  // The stale seeds of a word are kept in a register: only a change can
  // mark more of them (the readers after the one just taken), and only then
  // is the word read again, so one evaluation need not wait for the marks of
  // the one before.
  for (std::size_t w = 0; w < words; ++w) {
    std::uint64_t pending = stale_[w];
    if constexpr (kBits) stale_[w] = 0;  // the walk holds them (see above)
    while (pending != 0) {
      const auto bit = static_cast<unsigned>(std::countr_zero(pending));
      const auto position = static_cast<std::uint32_t>(w * 64 + bit);
      pending &= pending - 1;
      ++evaluations_run;
      const std::uint8_t taken = state[position];
      const bool changed = evaluate<kBits>(values, graph, position, taken);
      done += 1 + words_of(position);
      if (changed) {
        if constexpr (kBits) {
          pending |= mark_readers_stale(position, w);
        } else {
          pending = stale_[w] & ((~std::uint64_t{0} << bit) << 1);
        }
        if (taken & kInfluencesEarlier) propagate(position, position + 1);
      }
      if (interrupted()) {
        if constexpr (kBits) stale_[w] |= pending;  // still stale
        return stop(interruption());                // the seeds left are dropped
      }
    }
  }
  evaluations = driven_;
  work = count + driven_words_;

  // The ring: every bus appended is taken, and counted, as the full
  // algorithm takes it; only its evaluation may be skipped.
  while (waiting != 0) {
    const std::uint32_t position = queue[head];
    head = head + 1 == count ? 0 : head + 1;
    --waiting;
    const auto taken = static_cast<std::uint8_t>(state[position] & ~kWaiting);
    state[position] = taken;
    ++work;
    ++done;
    if (shape_of(taken) == Shape::kNone) {
      if (interrupted()) return stop(interruption());
      continue;
    }
    if (work >= limit) {
      if (!note_unsettled(values, graph, position, head, waiting, control)) {
        return stop(interruption());
      }
      return stop(Error{messages::did_not_settle(evaluations)});
    }
    ++evaluations;
    if (is_stale(position)) {
      ++evaluations_run;
      if constexpr (kBits) clear_stale(position);
      if (evaluate<kBits>(values, graph, position, taken)) {
        if constexpr (kBits) mark_readers_stale(position);
        propagate(position, count);
      }
    }
    const std::size_t value_words = words_of(position);
    work += value_words;
    done += value_words;
    if (interrupted()) return stop(interruption());
  }
  last_evaluations_ = evaluations;
  last_evaluations_run_ = evaluations_run;
  return ok_status();
}

bool Worklist::note_unsettled(std::span<const BitBusValue> values, const GateGraph& graph,
                              std::uint32_t taken, std::size_t head, std::size_t waiting,
                              const UpdateControl& control) {
  // Run on a copy, with a queue of its own: the update's values, ring and
  // flags stay as the limit left them. The evaluations below clear and set
  // stale bits for the copy's values, so every bit is set again after.
  std::vector<BitBusValue> copy(values.begin(), values.end());
  std::vector<std::uint8_t> queued(count_, 0);
  std::vector<std::uint32_t> ring;
  ring.reserve(waiting + 1);
  ring.push_back(taken);
  for (std::size_t i = 0; i < waiting; ++i) ring.push_back(queue_[(head + i) % count_]);
  for (const std::uint32_t position : ring) queued[position] = 1;
  std::vector<std::uint8_t> changed(count_, 0);
  // About one more evaluation of every bus and influence entry: a loop
  // changes each of its busses at least once in that time.
  const std::uint64_t budget = count_ + influence_targets_.size() + 64;
  std::size_t front = 0;
  bool stopped = false;
  for (std::uint64_t n = 0; n < budget && front < ring.size(); ++n) {
    const std::uint32_t position = ring[front++];
    queued[position] = 0;
    const auto shape = static_cast<std::uint8_t>(state_[position] & ~kWaiting);
    if (shape_of(shape) != Shape::kNone && evaluate_and_store(copy, graph, position, shape)) {
      changed[position] = 1;
      for (std::uint32_t i = influence_offsets_[position]; i != influence_offsets_[position + 1];
           ++i) {
        const std::uint32_t target = influence_targets_[i];
        if (queued[target]) continue;
        queued[target] = 1;
        ring.push_back(target);
      }
    }
    if (control.poll(1 + copy[position].word_count())) {
      stopped = true;
      break;
    }
    // The ring only grows: take back the room of what was taken.
    if (front > count_ && front * 2 > ring.size()) {
      ring.erase(ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(front));
      front = 0;
    }
  }
  forget(values);
  if (stopped) return false;
  for (std::uint32_t position = 0; position < count_; ++position) {
    if (changed[position]) unsettled_.changing.push_back(position);
  }
  unsettled_.loop = loop_among(changed, reader_offsets_, readers_);
  return true;
}

}  // namespace nimbo
