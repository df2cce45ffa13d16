// Vectors from JSON Lines: one object of bus id to bit string per line.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "component/component.hpp"
#include "component/vectors.hpp"

namespace nimbo {

// A line that is not an object of bit strings.
struct LineFault {
  std::size_t vector = 0;  // vectors before this line
  std::size_t line = 0;
  std::optional<std::string> id;  // the entry at fault, if one is
  std::string message;
};

// The vectors of a block of lines. The texts they point to live in this
// object (in the parsed lines), so it must outlive the TextVectors.
class VectorLines {
 public:
  VectorLines();
  ~VectorLines();
  VectorLines(const VectorLines&) = delete;
  VectorLines& operator=(const VectorLines&) = delete;

  // Reads `text`, whose first line is line number `first_line`, up to the
  // end or the first faulty line. Blank lines are skipped. Ids that name no
  // bus of `component` are left out and listed in unknown().
  void parse(std::string_view text, std::size_t first_line, const Component& component);

  TextVectors vectors() const noexcept { return {writes_, ends_}; }
  // The line number of each vector.
  const std::vector<std::size_t>& lines() const noexcept { return lines_; }
  // (line, id) of each id that names no bus, at its first occurrence.
  const std::vector<std::pair<std::size_t, std::string>>& unknown() const noexcept {
    return unknown_;
  }
  const std::optional<LineFault>& fault() const noexcept { return fault_; }

 private:
  struct Arena;
  std::unique_ptr<Arena> arena_;
  std::vector<PositionInput> writes_;
  std::vector<std::size_t> ends_;
  std::vector<std::size_t> lines_;
  std::vector<std::pair<std::size_t, std::string>> unknown_;
  std::optional<LineFault> fault_;
};

}  // namespace nimbo
