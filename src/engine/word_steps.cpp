#include "engine/word_steps.hpp"

#include <algorithm>
#include <map>
#include <tuple>

#include "engine/register_rules.hpp"

namespace nimbo {

WordSteps::WordSteps(const Circuit& circuit, const Registers& registers, const Memories& memories,
                     const WordPass& words)
    : memories_(memories, circuit, words),
      async_parts_(registers.list.size(), memories),
      any_async_part_(registers.any_async_reset || memories.async_parts),
      negedge_phase_(registers.any_negedge || memories.any_negedge || circuit.clocks_read),
      clocks_read_(circuit.clocks_read),
      resets_need_pass_(memories_.rounds_need_pass()) {
  std::map<std::tuple<Edge, std::uint32_t, std::uint32_t>, std::size_t> group_of;
  for (const Register& reg : registers.list) {
    const std::uint32_t enable = reg.enable ? words.slot(*reg.enable) : kNoSlot;
    const std::uint32_t reset = reg.async_reset ? words.slot(*reg.async_reset) : kNoSlot;
    resets_need_pass_ =
        resets_need_pass_ || (reg.async_reset && circuit.pass_changes(*reg.async_reset));
    const auto [found, added] = group_of.try_emplace({reg.edge, enable, reset}, groups_.size());
    if (added) groups_.push_back(SlotGroup{reg.edge, enable, reset, {}, {}, {}, {}});
    SlotGroup& group = groups_[found->second];
    const std::size_t word_count = BitBusValue::words_for(words.width(reg.q));
    const std::uint32_t q = words.slot(reg.q);
    const std::uint32_t d = words.slot(reg.d);
    for (std::size_t w = 0; w < word_count; ++w) {
      group.q.push_back(q + static_cast<std::uint32_t>(w));
      group.q_first.push_back(q);
      group.d.push_back(d + static_cast<std::uint32_t>(w));
      group.reset_words.push_back(reg.reset_value.data()[w]);
    }
  }
  for (const std::uint32_t clock : registers.clocks) clock_slots_.push_back(words.slot(clock));
}

Word WordSteps::enable_mask(const WordPass& words, const SlotGroup& group) {
  return group.enable == kNoSlot ? ~Word{0} : level_mask(words.slot_word(group.enable) & 1U);
}

Word WordSteps::reset_mask(const WordPass& words, const SlotGroup& group) {
  return group.reset == kNoSlot ? Word{0} : level_mask(words.slot_word(group.reset) & 1U);
}

bool WordSteps::reset_round(const WordPass& words, const MemoryWords& memory_words) {
  targets_.clear();
  for (const SlotGroup& group : groups_) {
    const Word reset = reset_mask(words, group);
    if (reset == 0) continue;
    for (std::size_t i = 0; i < group.q.size(); ++i) {
      const Word q = words.slot_word(group.q[i]);
      const Word next = held_q(q, reset, group.reset_words[i]);
      if (next == q) continue;
      targets_.add(group.q[i], group.q_first[i], next);
    }
  }
  if (!memories_.empty()) memories_.async_round(words, memory_words, targets_);
  return !targets_.empty();
}

Status WordSteps::resets(WordPass& words, MemoryWords& memory_words) {
  return resets_need_pass_ ? resets_with_pass(words, memory_words)
                           : resets_without_pass(words, memory_words);
}

Status WordSteps::resets_with_pass(WordPass& words, const MemoryWords& memory_words) {
  if (!any_async_part_) return ok_status();
  return settle_async_parts(
      async_parts_, [&] { return reset_round(words, memory_words); },
      [&] {
        targets_.store(words);
        words.run();
        return ok_status();
      });
}

Status WordSteps::resets_without_pass(WordPass& words, const MemoryWords& memory_words) {
  if (!any_async_part_) return ok_status();
  return settle_async_parts(
      async_parts_, [&] { return reset_round(words, memory_words); },
      [&] {
        targets_.store(words);
        return ok_status();
      });
}

void WordSteps::edge(WordPass& words, MemoryWords& memory_words, Edge edge) {
  // Everything the edge writes is read before anything (the clocks
  // included) is written.
  targets_.clear();
  for (const SlotGroup& group : groups_) {
    if (group.edge != edge) continue;
    const Word enable = enable_mask(words, group);
    const Word reset = reset_mask(words, group);
    if ((enable | reset) == 0) continue;  // every q keeps its value
    targets_.slots.insert(targets_.slots.end(), group.q.begin(), group.q.end());
    targets_.firsts.insert(targets_.firsts.end(), group.q_first.begin(), group.q_first.end());
    if (enable == ~Word{0} && reset == 0) {
      // The most common group takes d: the rule with those masks as
      // constants reads no q.
      for (std::size_t i = 0; i < group.q.size(); ++i) {
        targets_.words.push_back(
            next_q(Word{0}, words.slot_word(group.d[i]), ~Word{0}, Word{0}, Word{0}));
      }
      continue;
    }
    for (std::size_t i = 0; i < group.q.size(); ++i) {
      targets_.words.push_back(next_q(words.slot_word(group.q[i]), words.slot_word(group.d[i]),
                                      enable, reset, group.reset_words[i]));
    }
  }
  if (!memories_.empty()) memories_.edge(words, memory_words, edge, targets_);
  if (clocks_read_) {
    const Word level = edge == Edge::kPosedge ? 1 : 0;
    for (const std::uint32_t slot : clock_slots_) words.store_word(slot, level, slot);
  }
  targets_.store(words);
}

Status WordSteps::step(WordPass& words, MemoryWords& memory_words,
                       std::span<const PositionInput> inputs) {
  for (const PositionInput& input : inputs) {
    if (words.is_input(input.position)) words.write_text(input.position, input.bits);
  }
  for (const std::uint32_t slot : clock_slots_) words.store_word(slot, 0, slot);
  words.run();
  Status settled = resets_with_pass(words, memory_words);
  if (!settled.ok()) return settled;
  edge(words, memory_words, Edge::kPosedge);
  if (negedge_phase_ || resets_need_pass_) {
    words.run();
    settled = resets_with_pass(words, memory_words);
  } else {
    settled = resets_without_pass(words, memory_words);
  }
  if (!settled.ok() && !clocks_read_) {
    // The step stops with the clocks high: show them so, as the plain
    // updates leave them (the edge wrote no clock nobody reads).
    for (const std::uint32_t slot : clock_slots_) words.store_word(slot, 1, slot);
  }
  if (!settled.ok() || !negedge_phase_) return settled;
  edge(words, memory_words, Edge::kNegedge);
  if (!resets_need_pass_) return resets_without_pass(words, memory_words);
  words.run();
  return resets_with_pass(words, memory_words);
}

bool WordSteps::evaluate_shown(WordPass& words, std::span<const std::uint32_t> shown) {
  // The cone runs every gate in it, the pass only the gates its changes
  // reach: a cone beyond this share of the gates goes through the pass
  // instead (a processor's outputs read most of its memory).
  constexpr std::size_t kConeShare = 4;
  if (!std::equal(shown.begin(), shown.end(), shown_for_cone_.begin(), shown_for_cone_.end())) {
    shown_for_cone_.assign(shown.begin(), shown.end());
    shown_cone_ = words.cone_of(shown);
    shown_cone_small_ = shown_cone_.size() * kConeShare <= words.gate_count();
  }
  if (!shown_cone_small_) return false;
  words.run_gates(shown_cone_);
  return true;
}

void WordSteps::read_shown(BusState& state, std::span<const std::uint32_t> shown,
                           std::vector<BitBusValue>& values) {
  WordPass& words = state.words();
  if (words.behind() && evaluate_shown(words, shown)) {
    // Only the shown busses are brought up to date; the rest waits.
    for (std::size_t i = 0; i < shown.size(); ++i) words.read(shown[i], values[i]);
    return;
  }
  for (std::size_t i = 0; i < shown.size(); ++i) state.read(shown[i], values[i]);
}

}  // namespace nimbo
