// Vectors from JSON Lines: one object of bus id to bit string per line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include <boost/json/error.hpp>

#include "component/component.hpp"
#include "engine/vectors.hpp"

namespace nimbo {

// A line that is not an object of bit strings.
struct LineFault {
  std::size_t vector = 0;  // vectors before this line
  std::size_t line = 0;
  std::optional<std::string> id;  // the entry at fault, if one is
  std::string message;
};

// Reads blocks of lines with an event parser (no document tree): each
// member's id is matched against the id at the same place in the previous
// line before it is looked up, since the lines of one file tend to name the
// same ids in the same order. One object serves many blocks of one
// component.
class VectorLines {
 public:
  VectorLines();
  ~VectorLines();
  VectorLines(const VectorLines&) = delete;
  VectorLines& operator=(const VectorLines&) = delete;

  // Reads `text`, whose first line is line number `first_line`, up to the
  // end or the first faulty line. Blank lines are skipped. Ids that name no
  // bus are left out and listed in unknown(). An id given twice in a line
  // takes the value of its last occurrence, at the place of its first, as
  // a JSON reader that keeps one value per key sees it; earlier values are
  // not checked. The vectors point into `text` (or into this object), which
  // must outlive them.
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
  struct Handler;
  struct Parser;
  struct Expected {
    std::string id;
    std::optional<std::uint32_t> position;
  };
  static constexpr std::size_t kNoMember = static_cast<std::size_t>(-1);
  struct Refusal {
    std::size_t member;  // kNoMember when the line itself is refused
    const char* message;
  };

  // Parses one line into the handler; the bytes consumed.
  std::size_t parse_line(std::string_view line, boost::json::error_code& code);
  // Keeps, of each id of the line, the write or refusal of its last
  // occurrence, at the place of its first (the line's writes start at
  // `first_write`); the first refusal left, if any.
  std::optional<LineFault> keep_last_members(std::size_t first_write);
  std::optional<std::uint32_t> find_member(std::size_t member, std::string_view id);
  std::string_view member_id(std::size_t member) const;
  void note_unknown(std::string_view id);
  void add_write(std::uint32_t position, std::string_view bits, std::string_view line);

  std::unique_ptr<Parser> parser_;
  const Component* component_ = nullptr;
  std::vector<Expected> expected_;  // the ids of the previous line, in order
  std::size_t distinct_ = 0;        // expected_[0, distinct_) are distinct ids
  bool same_ids_ = false;           // the line so far names expected_'s ids
  // Room that keep_last_members reuses from line to line.
  struct MemberScratch {
    std::vector<std::uint32_t> order, first_of, last_of, write_of;
    std::vector<std::uint8_t> refused;
    std::vector<PositionInput> line_writes;
  } scratch_;
  std::size_t line_ = 0;
  std::vector<PositionInput> writes_;
  std::vector<std::size_t> ends_;
  std::vector<std::size_t> lines_;
  std::deque<std::string> copies_;  // bit strings that needed unescaping
  std::vector<std::pair<std::size_t, std::string>> unknown_;
  std::unordered_set<std::string> reported_;
  std::optional<LineFault> fault_;
};

// A block of lines, read by two VectorLines at once when asked and the block
// is large: the second half on a thread of its own, then both joined in
// line order. The reader of the second half sees only the component's bus
// index, which nothing changes meanwhile.
class VectorBlock {
 public:
  void parse(std::string_view text, std::size_t first_line, const Component& component,
             bool two_threads = false);

  TextVectors vectors() const noexcept { return {writes_, ends_}; }
  const std::vector<std::size_t>& lines() const noexcept { return lines_; }
  const std::vector<std::pair<std::size_t, std::string>>& unknown() const noexcept {
    return unknown_;
  }
  const std::optional<LineFault>& fault() const noexcept { return fault_; }

 private:
  VectorLines halves_[2];
  std::vector<PositionInput> writes_;
  std::vector<std::size_t> ends_;
  std::vector<std::size_t> lines_;
  std::vector<std::pair<std::size_t, std::string>> unknown_;
  std::optional<LineFault> fault_;
};

}  // namespace nimbo
