#include "engine/packed_vectors.hpp"

#include <algorithm>
#include <string_view>

namespace nimbo {
namespace {

// A vector: the number of its writes and of their texts' characters, then
// each write: a head, whose two low bits say what follows and whose other
// bits are the distance of its position from the one after the previous
// write's (zigzag: 0, -1, 1, -2 ...), then its text:
// - kZero, kOne: the text is that one bit, nothing follows;
// - kBits: the text's length, then its bits, eight to a byte, the first
//   in the lowest bit;
// - kAsWritten: the text's length, then its characters.
// Numbers are unsigned LEB128: seven bits a byte, the lowest first.
enum Kind : std::uint8_t { kZero = 0, kOne = 1, kBits = 2, kAsWritten = 3 };

void put_number(std::vector<std::uint8_t>& bytes, std::uint64_t number) {
  while (number >= 0x80) {
    bytes.push_back(static_cast<std::uint8_t>(number | 0x80));
    number >>= 7;
  }
  bytes.push_back(static_cast<std::uint8_t>(number));
}

std::uint64_t take_number(const std::uint8_t*& at) {
  std::uint64_t number = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t byte = *at++;
    number |= std::uint64_t{byte & 0x7FU} << shift;
    if (byte < 0x80) return number;
  }
}

bool only_bits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == '0' || c == '1'; });
}

}  // namespace

void PackedVectors::append(const TextVectors& vectors) {
  for (std::size_t v = 0; v < vectors.size(); ++v) {
    const auto writes = vectors.of(v);
    std::size_t chars = 0;
    for (const PositionInput& write : writes) chars += write.bits.size();
    put_number(bytes_, writes.size());
    put_number(bytes_, chars);
    std::int64_t next = 0;  // the position after the previous write's
    for (const PositionInput& write : writes) {
      const std::int64_t distance = static_cast<std::int64_t>(write.position) - next;
      const std::uint64_t zigzag = distance >= 0
                                       ? static_cast<std::uint64_t>(distance) << 1
                                       : ((static_cast<std::uint64_t>(-(distance + 1))) << 1) | 1U;
      next = static_cast<std::int64_t>(write.position) + 1;
      const std::string_view text = write.bits;
      const bool bits = !text.empty() && only_bits(text);
      Kind kind = bits ? kBits : kAsWritten;
      if (bits && text.size() == 1) kind = text[0] == '1' ? kOne : kZero;
      put_number(bytes_, zigzag << 2 | kind);
      if (kind == kZero || kind == kOne) continue;
      put_number(bytes_, text.size());
      if (kind == kAsWritten) {
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        continue;
      }
      for (std::size_t i = 0; i < text.size(); i += 8) {
        std::uint8_t byte = 0;
        for (std::size_t j = i; j < std::min(text.size(), i + 8); ++j) {
          byte |= static_cast<std::uint8_t>((text[j] == '1') << (j - i));
        }
        bytes_.push_back(byte);
      }
    }
    ends_.push_back(bytes_.size());
  }
}

void PackedVectors::shrink_to_fit() {
  bytes_.shrink_to_fit();
  ends_.shrink_to_fit();
}

std::span<const PositionInput> PackedVectors::of(std::size_t vector, UnpackedWrites& room) const {
  const std::uint8_t* at = bytes_.data() + (vector == 0 ? 0 : ends_[vector - 1]);
  const auto count = static_cast<std::size_t>(take_number(at));
  const auto chars = static_cast<std::size_t>(take_number(at));
  room.writes.clear();
  room.chars.clear();
  // Reserved whole, so that the views taken below stay where they point.
  room.chars.reserve(chars);
  std::int64_t next = 0;
  for (std::size_t w = 0; w < count; ++w) {
    const std::uint64_t head = take_number(at);
    const std::uint64_t zigzag = head >> 2;
    const auto distance = (zigzag & 1U) != 0 ? -static_cast<std::int64_t>(zigzag >> 1) - 1
                                             : static_cast<std::int64_t>(zigzag >> 1);
    const auto position = static_cast<std::uint32_t>(next + distance);
    next = static_cast<std::int64_t>(position) + 1;
    const std::size_t start = room.chars.size();
    const auto kind = static_cast<Kind>(head & 3U);
    if (kind == kZero || kind == kOne) {
      room.chars.push_back(kind == kOne ? '1' : '0');
    } else {
      const auto length = static_cast<std::size_t>(take_number(at));
      if (kind == kAsWritten) {
        room.chars.append(reinterpret_cast<const char*>(at), length);
        at += length;
      } else {
        for (std::size_t i = 0; i < length; ++i) {
          room.chars.push_back((at[i / 8] >> (i % 8)) & 1U ? '1' : '0');
        }
        at += (length + 7) / 8;
      }
    }
    room.writes.push_back({position, std::string_view(room.chars).substr(start)});
  }
  return room.writes;
}

}  // namespace nimbo
