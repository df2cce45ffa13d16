// Vectors from JSON Lines: one object of bus id to bit string per line; with
// VectorNames, also of port name to value, and values written as numbers.
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
#include "renderer/vector_names.hpp"

namespace nimbo {

// Why a line was refused.
enum class LineRefusal : unsigned char {
  kJson,       // not JSON
  kNotObject,  // JSON, but not an object
  kValueType,  // a member's value is not a string (nor, with names, a whole number)
  kValue,      // a member's value cannot be written to what the member names
  kNotInput,   // the member names no input, and writes take only inputs
};

// A line that was refused, as data: callers word it from these.
struct LineFault {
  std::size_t vector = 0;  // vectors before this line
  std::size_t line = 0;
  std::optional<std::string> id;  // the entry at fault, if one is
  std::string message;            // the reason worded whole
  LineRefusal kind = LineRefusal::kJson;
  // kValue: the value as written (a JSON integer's digits), whether it is a
  // JSON integer, what is wrong with it (worded to follow it: "does not fit
  // in 8 bits"), and whether the member names a port rather than a bus.
  // kNotInput: the value and whether it is an integer likewise, and in
  // `detail` the name of the WriteRole that refused it ("state").
  std::string value;
  bool integer = false;
  std::string detail;
  bool port = false;
};

// A name that a line wrote with a bit string of its width, above one bit
// (bit_string_may_mislead): read as bits, where a number may have been meant.
struct BitStringNote {
  std::size_t line = 0;
  std::string id;
  std::string value;
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
  //
  // With `names`, a member may also name a port (looked up before the bus
  // ids), whose value is split over the busses of its bits, and a value may be a
  // number (a string in one of the forms of busses/number_text, or a JSON
  // integer, which is decimal), read at the width of what it is written to
  // (VectorNames::value_bits). When `names` takes only inputs, a member that
  // names no input is refused (kNotInput). `names` must outlive the vectors too.
  //
  // The vectors of a line may hold far more than its text (a port of many
  // bits written as a short number): reading stops after the line at which
  // they hold `max_held` bytes or more, and stopped() says so; read() is
  // then where the rest of the text begins.
  void parse(std::string_view text, std::size_t first_line, const Component& component,
             const VectorNames* names = nullptr, std::size_t max_held = kNoLimit);
  static constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);
  bool stopped() const noexcept { return stopped_; }
  // The bytes the vectors hold beyond the text.
  std::size_t held() const noexcept { return held_ + writes_.size() * sizeof(PositionInput); }
  std::size_t read() const noexcept { return read_; }

  TextVectors vectors() const noexcept { return {writes_, ends_}; }
  // The line number of each vector.
  const std::vector<std::size_t>& lines() const noexcept { return lines_; }
  // (line, id) of each id that names no bus, at its first occurrence.
  const std::vector<std::pair<std::size_t, std::string>>& unknown() const noexcept {
    return unknown_;
  }
  const std::optional<LineFault>& fault() const noexcept { return fault_; }
  // With names: the first bit string of its width above one bit that each
  // name was written with, in line order.
  const std::vector<BitStringNote>& bit_strings() const noexcept { return bit_strings_; }

 private:
  struct Handler;
  struct Parser;
  struct Expected {
    std::string id;
    std::optional<std::uint32_t> position;
    std::optional<std::uint32_t> port;   // of names_, when no bus has the id
    std::size_t width = 0;               // with names_: of a value written there
    WriteRole role = WriteRole::kInput;  // with names_: why a write there is refused
    bool noted = false;                  // a bit string note was taken here
  };
  static constexpr std::size_t kNoMember = static_cast<std::size_t>(-1);
  struct Refusal {
    std::size_t member;  // kNoMember when the line itself is refused
    LineRefusal kind;
    std::string message;
    std::string value;  // kValue: see LineFault
    bool integer = false;
    std::string detail;
  };

  // Parses one line into the handler; the bytes consumed.
  std::size_t parse_line(std::string_view line, boost::json::error_code& code);
  // Keeps, of each id of the line, the write or refusal of its last
  // occurrence, at the place of its first (the line's writes start at
  // `first_write`); the first refusal left, if any.
  std::optional<LineFault> keep_last_members(std::size_t first_write);
  // Finds the bus or port a member names; unknown ids are noted.
  void find_member(std::size_t member, std::string_view id);
  // The writes of member `member`'s value `value` (a string, or with
  // `number` the decimal text of a JSON integer); false with what is wrong
  // with the value when it cannot be written there.
  bool add_value(std::size_t member, std::string_view value, bool number, std::string_view line,
                 std::string& detail);
  void note_bit_string(Expected& target, std::string_view value);
  std::string_view member_id(std::size_t member) const;
  void note_unknown(std::string_view id);
  void add_write(std::uint32_t position, std::string_view bits, std::string_view line);
  // Keeps `bits` (made here) for as long as the vectors.
  std::string_view keep(std::string bits);

  std::unique_ptr<Parser> parser_;
  const Component* component_ = nullptr;
  const VectorNames* names_ = nullptr;
  std::vector<Expected> expected_;  // the ids of the previous line, in order
  std::size_t distinct_ = 0;        // expected_[0, distinct_) are distinct ids
  bool same_ids_ = false;           // the line so far names expected_'s ids
  // Room that keep_last_members reuses from line to line.
  struct MemberScratch {
    std::vector<std::uint32_t> order, first_of, last_of;
    std::vector<PositionInput> line_writes;
  } scratch_;
  std::size_t line_ = 0;
  std::vector<PositionInput> writes_;
  std::vector<std::size_t> member_writes_;  // of the line: where each member's writes begin
  std::vector<std::size_t> ends_;
  std::vector<std::size_t> lines_;
  std::deque<std::string> copies_;  // bit strings that needed unescaping or were made here
  std::vector<std::pair<std::size_t, std::string>> unknown_;
  std::unordered_set<std::string> reported_;
  std::vector<BitStringNote> bit_strings_;
  std::unordered_set<std::string> noted_;
  std::string made_;  // a value's bits made from a number
  std::optional<LineFault> fault_;
  std::size_t held_ = 0;  // bytes the vectors hold beyond the text
  bool stopped_ = false;
  std::size_t read_ = 0;
};

// A block of lines, read by two VectorLines at once when asked and the block
// is large: the second half on a thread of its own, then both joined in
// line order. The reader of the second half sees only the component's bus
// index and `names`, which nothing changes meanwhile.
class VectorBlock {
 public:
  // Reads as VectorLines::parse does, with `max_held` for each half; read()
  // is where the text not read begins (its size when all was read).
  void parse(std::string_view text, std::size_t first_line, const Component& component,
             bool two_threads = false, const VectorNames* names = nullptr,
             std::size_t max_held = VectorLines::kNoLimit);
  std::size_t read() const noexcept { return read_; }

  TextVectors vectors() const noexcept { return {writes_, ends_}; }
  const std::vector<std::size_t>& lines() const noexcept { return lines_; }
  const std::vector<std::pair<std::size_t, std::string>>& unknown() const noexcept {
    return unknown_;
  }
  const std::optional<LineFault>& fault() const noexcept { return fault_; }
  const std::vector<BitStringNote>& bit_strings() const noexcept { return bit_strings_; }

 private:
  VectorLines halves_[2];
  std::vector<PositionInput> writes_;
  std::vector<std::size_t> ends_;
  std::vector<std::size_t> lines_;
  std::vector<std::pair<std::size_t, std::string>> unknown_;
  std::vector<BitStringNote> bit_strings_;
  std::optional<LineFault> fault_;
  std::size_t read_ = 0;
};

}  // namespace nimbo
