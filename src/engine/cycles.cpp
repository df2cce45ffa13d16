#include "engine/cycles.hpp"

#include "engine/memory_rules.hpp"
#include "engine/register_rules.hpp"

namespace nimbo {

void next_value(const BitBusValue& q, const BitBusValue& d, bool enabled, bool reset,
                const BitBusValue& reset_value, BitBusValue& next) {
  const Word enable = level_mask(enabled);
  const Word reset_mask = level_mask(reset);
  next.resize_for_overwrite(q.width());
  const Word* q_words = q.data();
  const Word* d_words = d.data();
  const Word* reset_words = reset_value.data();
  Word* out = next.data();
  for (std::size_t w = 0; w < q.word_count(); ++w) {
    out[w] = next_q(q_words[w], d_words[w], enable, reset_mask, reset_words[w]);
  }
}

Cycles::Cycles() {
  one_.set_bit(0, true);
}

bool Cycles::reads_high(PlainUpdates& updates, std::size_t position) {
  updates.read(position, level_);
  return is_high(level_);
}

Status Cycles::clocks_low(PlainUpdates& updates, const Registers& registers,
                          std::span<const PositionInput> texts, const UpdateControl& control) {
  writes_.clear();
  for (const std::uint32_t clock : registers.clocks) writes_.push_back({clock, &zero_});
  return updates.update(texts, writes_, control);
}

bool Cycles::reset_round(PlainUpdates& updates, const StateElements& elements) {
  const Registers& registers = elements.registers;
  captured_.resize(registers.list.size());
  writes_.clear();
  for (std::size_t i = 0; i < registers.list.size(); ++i) {
    const Register& reg = registers.list[i];
    if (!reg.async_reset || !reads_high(updates, *reg.async_reset)) continue;
    updates.read(reg.q, q_);
    next_value(q_, q_, false, true, reg.reset_value, captured_[i]);
    if (captured_[i] == q_) continue;
    writes_.push_back({reg.q, &captured_[i]});
  }
  if (!elements.memories.empty()) {
    memories_.async_round(updates, elements.memories, elements.words, writes_);
  }
  return !writes_.empty();
}

Status Cycles::resets(PlainUpdates& updates, const StateElements& elements,
                      const UpdateControl& control) {
  if (!elements.any_async_part()) return ok_status();
  return settle_async_parts(
      AsyncParts(elements.registers.list.size(), elements.memories),
      [&] { return reset_round(updates, elements); },
      [&] { return updates.update({}, writes_, control); });
}

Status Cycles::edge(PlainUpdates& updates, const StateElements& elements, Edge edge,
                    const UpdateControl& control) {
  const Registers& registers = elements.registers;
  // Everything the edge writes is read before anything is written.
  captured_.resize(registers.list.size());
  writes_.clear();
  const BitBusValue& level = edge == Edge::kPosedge ? one_ : zero_;
  for (const std::uint32_t clock : registers.clocks) writes_.push_back({clock, &level});
  for (std::size_t i = 0; i < registers.list.size(); ++i) {
    const Register& reg = registers.list[i];
    if (reg.edge != edge) continue;
    const bool reset = reg.async_reset && reads_high(updates, *reg.async_reset);
    const bool enabled = !reg.enable || reads_high(updates, *reg.enable);
    if (!reset && !enabled) continue;  // q keeps its value: nothing to write
    updates.read(reg.q, q_);
    if (!reset) {
      updates.read(reg.d, d_);
      if (d_.width() != q_.width()) {
        // The update refuses it, as it refuses such a value written by hand.
        captured_[i] = d_;
        writes_.push_back({reg.q, &captured_[i]});
        continue;
      }
    }
    next_value(q_, reset ? q_ : d_, enabled, reset, reg.reset_value, captured_[i]);
    writes_.push_back({reg.q, &captured_[i]});
  }
  if (!elements.memories.empty()) {
    memories_.edge(updates, elements.memories, elements.words, edge, writes_);
  }
  Status written = updates.update({}, writes_, control);
  if (!written.ok()) return written;
  return resets(updates, elements, control);
}

Status Cycles::step(PlainUpdates& updates, const StateElements& elements,
                    std::span<const PositionInput> inputs, const UpdateControl& control) {
  Status settled = clocks_low(updates, elements.registers, inputs, control);
  if (!settled.ok()) return settled;
  settled = resets(updates, elements, control);
  if (!settled.ok()) return settled;
  settled = edge(updates, elements, Edge::kPosedge, control);
  if (!settled.ok()) return settled;
  return edge(updates, elements, Edge::kNegedge, control);
}

}  // namespace nimbo
