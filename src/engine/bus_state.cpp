#include "engine/bus_state.hpp"

#include <algorithm>
#include <utility>

namespace nimbo {

BusState::BusState(std::span<const BitBusValue> rendered, MemoryWords words)
    : table_(rendered.begin(), rendered.end()), memory_words_(std::move(words)) {}
BusState::~BusState() = default;
BusState::BusState(BusState&&) noexcept = default;
BusState& BusState::operator=(BusState&&) noexcept = default;

void BusState::move_to(std::unique_ptr<WordPass> pass) {
  words_ = std::move(pass);
  // The inputs live in the slots from now on: their table entries go.
  for (std::size_t p = 0; p < table_.size(); ++p) {
    if (words_->is_input(p)) table_[p] = BitBusValue();
  }
}

void BusState::read_any(std::size_t position, BitBusValue& value) {
  if (!words_) {
    value = table_[position];
    return;
  }
  if (held(position)) {
    value = table_[position];
    return;
  }
  if (!words_->is_input(position) && words_->behind()) words_->run();
  words_->read(position, value);
}

std::vector<BitBusValue> BusState::snapshot() {
  std::vector<BitBusValue> values(table_.size());
  for (std::size_t p = 0; p < values.size(); ++p) read(p, values[p]);
  return values;
}

void BusState::restore(std::span<const BitBusValue> values) {
  const std::size_t count = std::min(values.size(), table_.size());
  if (!words_) {
    std::copy_n(values.begin(), count, table_.begin());
    return;
  }
  // Every driven bus is held again until the next pass.
  for (std::size_t p = 0; p < count; ++p) {
    table_[p] = words_->is_input(p) ? BitBusValue() : values[p];
  }
  words_->load_inputs(values);
}

}  // namespace nimbo
