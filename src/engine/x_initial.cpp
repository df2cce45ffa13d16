#include "engine/x_initial.hpp"

#include <vector>

namespace nimbo {
namespace {

std::uint64_t fnv1a(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// One step of SplitMix64: advances `state` and returns the next word.
std::uint64_t split_mix(std::uint64_t& state) {
  state += 0x9e3779b97f4a7c15ULL;
  std::uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

}  // namespace

std::optional<XInitial> x_initial_named(std::string_view name) {
  if (name == "zero") return XInitial::kZero;
  if (name == "ones") return XInitial::kOnes;
  if (name == "random") return XInitial::kRandom;
  return std::nullopt;
}

std::string initial_bits(const XInitialRule& rule, std::string_view name, std::uint64_t word,
                         std::size_t width) {
  if (rule.mode != XInitial::kRandom) {
    return std::string(width, rule.mode == XInitial::kOnes ? '1' : '0');
  }
  // The stream of an element: the seed mixed with its name, then its word.
  std::uint64_t state = rule.seed;
  state = split_mix(state) ^ fnv1a(name);
  state = split_mix(state) ^ word;
  std::string bits(width, '0');
  std::uint64_t drawn = 0;
  for (std::size_t i = 0; i < width; ++i) {
    if (i % 64 == 0) drawn = split_mix(state);
    if ((drawn >> (i % 64)) & 1U) bits[i] = '1';
  }
  return bits;
}

void start_uninitialised(Component& component, std::span<const RegisterRecord> records,
                         const XInitialRule& rule) {
  for (const RegisterRecord& record : records) {
    if (!record.uninitialised) continue;
    const auto position = component.find(record.q);
    if (!position) continue;
    BitBusValue& value = component.busses().value(*position);
    value.assign_text(initial_bits(rule, record.q, 0, value.width()));
  }
}

void start_uninitialised(Memories& memories, std::span<const MemoryRecord> records,
                         const XInitialRule& rule) {
  if (rule.mode == XInitial::kZero) return;
  for (std::size_t m = 0; m < records.size() && m < memories.list.size(); ++m) {
    const MemoryRecord& record = records[m];
    if (!record.uninitialised) continue;
    Memory& memory = memories.list[m];
    std::vector<bool> named(memory.words, false);
    for (const MemoryInitRecord& run : record.init) {
      const std::uint64_t end = run.word + run.values.size() * run.repeat;
      for (std::uint64_t w = run.word; w < end && w < memory.words; ++w) named[w] = true;
    }
    for (std::uint64_t w = 0; w < memory.words; ++w) {
      if (named[w]) continue;
      const std::string bits = initial_bits(rule, memory.name, w, memory.width);
      std::uint64_t* word = memory.contents.data() + w * memory.stride;
      for (std::size_t b = 0; b < memory.width; ++b) {
        if (bits[b] == '1') word[b / 64] |= std::uint64_t{1} << (b % 64);
      }
    }
  }
}

}  // namespace nimbo
