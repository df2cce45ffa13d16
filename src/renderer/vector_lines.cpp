#include "renderer/vector_lines.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include <boost/json/basic_parser_impl.hpp>

#include "busses/number_text.hpp"
#include "renderer/exponent_clamp.hpp"
#include "renderer/json_document.hpp"
#include "renderer/parse_fault.hpp"
#include "renderer/text_position.hpp"

namespace nimbo {
namespace {

namespace json = boost::json;

bool is_blank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

constexpr const char* kNotABitString = "the value must be a bit string in quotes";
constexpr const char* kNotAValue = "the value must be a string or a whole number";

}  // namespace

// Receives one line's events from the parser: an object whose members are
// bit strings (or, with names, strings and integers). Anything else is noted
// in `refusals` and the parse goes on, so that a line that is not even JSON
// says so instead.
struct VectorLines::Handler {
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);

  VectorLines* lines = nullptr;
  std::string_view text;  // the line: strings inside it need no copy
  int depth = 0;
  bool object = false;     // the line is an object: its members' values are taken
  std::size_t member = 0;  // index of the current member in the object
  std::string key_parts;
  std::string string_parts;
  std::string number_parts;
  // What the line is refused for, in order; a member's refusal stands only
  // if no later member has the same id (see VectorLines::parse).
  std::vector<Refusal> refusals;

  bool refuse(json::error_code&, const char* message) {
    refusals.push_back({kNoMember, LineRefusal::kNotObject, message, {}, false, {}});
    return true;
  }
  bool refuse_value(json::error_code&) {
    refusals.push_back({member - 1,
                        LineRefusal::kValueType,
                        lines->names_ != nullptr ? kNotAValue : kNotABitString,
                        {},
                        false,
                        {}});
    return true;
  }
  // The value of the current member, a string or with `number` an integer's
  // digits.
  void take_value(std::string_view value, bool number) {
    if (!object) return;  // an item of a line that is an array, refused
    if (const WriteRole role = lines->expected_[member - 1].role; role != WriteRole::kInput) {
      refusals.push_back({member - 1, LineRefusal::kNotInput, not_input_message(role),
                          std::string(value), number, write_role_name(role)});
      return;
    }
    std::string detail;
    if (!lines->add_value(member - 1, value, number, text, detail)) {
      const bool quoted = !number;
      std::string message =
          (quoted ? "\"" : "") + std::string(value) + (quoted ? "\" " : " ") + detail;
      refusals.push_back({member - 1, LineRefusal::kValue, std::move(message), std::string(value),
                          number, std::move(detail)});
    }
  }

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_object_begin(json::error_code& ec) {
    if (depth++ != 0) return refuse_value(ec);
    object = true;
    return true;
  }
  bool on_array_end(std::size_t, json::error_code&) {
    --depth;
    return true;
  }
  bool on_object_end(std::size_t, json::error_code&) {
    --depth;
    return true;
  }
  bool on_array_begin(json::error_code& ec) {
    if (depth++ == 0) return refuse(ec, "expected an object of bus id to bit string");
    return refuse_value(ec);
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    key_parts.append(s.data(), s.size());
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code&) {
    if (depth != 1) {
      key_parts.clear();
      return true;  // inside a value already refused
    }
    std::string_view id(s.data(), s.size());
    if (!key_parts.empty()) {
      key_parts.append(id);
      id = key_parts;
    }
    lines->member_writes_.push_back(lines->writes_.size());
    lines->find_member(member++, id);
    key_parts.clear();
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t, json::error_code&) {
    string_parts.append(s.data(), s.size());
    return true;
  }
  bool on_string(json::string_view s, std::size_t, json::error_code& ec) {
    if (depth == 0) return refuse(ec, "expected an object of bus id to bit string");
    if (depth != 1) {
      string_parts.clear();
      return true;  // inside a value already refused
    }
    std::string_view bits(s.data(), s.size());
    if (!string_parts.empty()) {
      string_parts.append(bits);
      bits = string_parts;
    }
    take_value(bits, false);
    string_parts.clear();
    return true;
  }
  bool scalar(json::error_code& ec) {
    if (depth == 0) return refuse(ec, "expected an object of bus id to bit string");
    if (depth != 1) return true;  // inside a value already refused
    return refuse_value(ec);
  }
  bool on_number_part(json::string_view s, json::error_code&) {
    number_parts.append(s.data(), s.size());
    return true;
  }
  // The text of the number that ends with `last`.
  std::string number_text(json::string_view last) {
    std::string literal = std::move(number_parts);
    number_parts.clear();
    literal.append(last.data(), last.size());
    return literal;
  }
  // A JSON integer is decimal (VectorNames::value_bits).
  bool integer(std::string literal, json::error_code& ec) {
    if (depth != 1 || lines->names_ == nullptr) return scalar(ec);
    take_value(literal, true);
    return true;
  }
  bool on_int64(std::int64_t, json::string_view s, json::error_code& ec) {
    return integer(number_text(s), ec);
  }
  bool on_uint64(std::uint64_t, json::string_view s, json::error_code& ec) {
    return integer(number_text(s), ec);
  }
  // An integer beyond 64 bits comes as a double, its text still exact.
  bool on_double(double, json::string_view s, json::error_code& ec) {
    std::string literal = number_text(s);
    if (literal.find_first_of(".eE") == std::string::npos) return integer(std::move(literal), ec);
    return scalar(ec);
  }
  bool on_bool(bool, json::error_code& ec) { return scalar(ec); }
  bool on_null(json::error_code& ec) { return scalar(ec); }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }
};

struct VectorLines::Parser {
  explicit Parser(VectorLines* lines) : parser(options()) { parser.handler().lines = lines; }
  static json::parse_options options() {
    json::parse_options options;
    options.max_depth = kMaxJsonDepth;
    return options;
  }
  json::basic_parser<Handler> parser;
};

VectorLines::VectorLines() : parser_(std::make_unique<Parser>(this)) {}
VectorLines::~VectorLines() = default;

std::string_view VectorLines::member_id(std::size_t member) const {
  return expected_[member].id;
}

void VectorLines::find_member(std::size_t member, std::string_view id) {
  // Lines of one file tend to name the same ids in the same order: the id
  // at this place in the last line is tried first, by its bytes.
  if (member < expected_.size() && expected_[member].id == id) {
    const Expected& hit = expected_[member];
    if (!hit.position && !hit.port) note_unknown(id);
    return;
  }
  same_ids_ = false;
  if (member >= expected_.size()) expected_.resize(member + 1);
  Expected& found = expected_[member];
  found.id = id;
  found.position.reset();
  found.port.reset();
  found.role = WriteRole::kInput;
  found.noted = false;
  // The ports (and what else the names hold) come before the bus ids.
  if (names_ != nullptr) found.port = names_->find_port(id);
  if (found.port) {
    found.width = names_->port_width(names_->port(*found.port));
    found.role = names_->port_role(*found.port);
  } else if (const auto position = component_->find(id)) {
    found.position = static_cast<std::uint32_t>(*position);
    if (names_ != nullptr) {
      found.width = names_->width(*found.position);
      found.role = names_->bus_role(*found.position);
    }
  }
  if (!found.position && !found.port) note_unknown(id);
}

bool VectorLines::add_value(std::size_t member, std::string_view value, bool number,
                            std::string_view line, std::string& detail) {
  Expected& target = expected_[member];
  if (!target.position && !target.port) return true;  // names nothing: left out
  if (names_ == nullptr) {
    // Bit strings only, checked against the bus where they are written.
    add_write(*target.position, value, line);
    return true;
  }
  std::string_view bits = value;
  if (!number && is_bit_string_of(value, target.width)) {
    // The common case, taken as written (VectorNames::value_bits).
    if (!target.noted && bit_string_may_mislead(value, target.width)) {
      note_bit_string(target, value);
    }
  } else {
    Result<std::string_view> made = VectorNames::value_bits(value, number, target.width, made_);
    if (!made.ok()) {
      detail = std::move(made).error();
      return false;
    }
    bits = made.value();
  }
  const auto write = [&](std::uint32_t position, std::string_view written) {
    if (written.data() == value.data()) {
      add_write(position, written, line);
    } else if (written.data() == made_.data()) {
      writes_.push_back({position, keep(made_)});
    } else {
      writes_.push_back({position, written});  // static bits of a port of many busses
    }
  };
  if (target.position) {
    write(*target.position, bits);
  } else {
    VectorNames::split(names_->port(*target.port), bits, write);
  }
  return true;
}

void VectorLines::note_bit_string(Expected& target, std::string_view value) {
  target.noted = true;
  if (noted_.emplace(target.id).second) {
    bit_strings_.push_back({line_, target.id, std::string(value)});
  }
}

std::string_view VectorLines::keep(std::string bits) {
  held_ += bits.size();
  copies_.push_back(std::move(bits));
  return copies_.back();
}

void VectorLines::note_unknown(std::string_view id) {
  if (reported_.emplace(id).second) unknown_.emplace_back(line_, std::string(id));
}

void VectorLines::add_write(std::uint32_t position, std::string_view bits, std::string_view line) {
  if (bits.data() < line.data() || bits.data() + bits.size() > line.data() + line.size()) {
    // Unescaped into a parser buffer: keep a copy.
    copies_.emplace_back(bits);
    bits = copies_.back();
    held_ += bits.size();
  }
  writes_.push_back({position, bits});
}

std::size_t VectorLines::parse_line(std::string_view line, json::error_code& code) {
  json::basic_parser<Handler>& parser = parser_->parser;
  parser.reset();
  Handler& handler = parser.handler();
  handler.text = line;
  handler.depth = 0;
  handler.object = false;
  handler.member = 0;
  handler.key_parts.clear();
  handler.string_parts.clear();
  handler.number_parts.clear();
  handler.refusals.clear();
  member_writes_.clear();
  same_ids_ = true;
  return parser.write_some(false, line.data(), line.size(), code);
}

std::optional<LineFault> VectorLines::keep_last_members(std::size_t first_write) {
  // The line is taken as a JSON reader that keeps one value per key takes
  // it: each id at the place of its first occurrence, with the value of its
  // last; earlier values are not looked at. A line whose ids are those of
  // the previous line, known to be distinct, needs no look.
  const Handler& handler = parser_->parser.handler();
  const std::size_t members = handler.member;
  const auto refused = [&](const Refusal& refusal) {
    LineFault fault{ends_.size(),    line_,          std::nullopt,
                    refusal.message, refusal.kind,   refusal.value,
                    refusal.integer, refusal.detail, false};
    if (refusal.member != kNoMember) {
      fault.id = expected_[refusal.member].id;
      fault.port = !expected_[refusal.member].position && expected_[refusal.member].port;
    }
    return fault;
  };
  if (same_ids_ && members <= distinct_) {
    if (handler.refusals.empty()) return std::nullopt;
    return refused(handler.refusals.front());
  }
  // Members by id, in line order within an id.
  std::vector<std::uint32_t>& order = scratch_.order;
  order.resize(members);
  for (std::size_t m = 0; m < members; ++m) order[m] = static_cast<std::uint32_t>(m);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
    return expected_[x].id < expected_[y].id;
  });
  std::vector<std::uint32_t>& first_of = scratch_.first_of;  // the first member with the same id
  std::vector<std::uint32_t>& last_of = scratch_.last_of;    // for a first member: the last one
  first_of.resize(members);
  last_of.resize(members);
  bool repeated = false;
  for (std::size_t k = 0; k < members;) {
    std::size_t j = k;
    while (j + 1 < members && expected_[order[j + 1]].id == expected_[order[k]].id) ++j;
    for (std::size_t i = k; i <= j; ++i) first_of[order[i]] = order[k];
    last_of[order[k]] = order[j];
    repeated = repeated || j > k;
    k = j + 1;
  }
  distinct_ = repeated ? 0 : members;
  if (!repeated) {
    if (handler.refusals.empty()) return std::nullopt;
    return refused(handler.refusals.front());
  }
  // The refusal of the first id whose last value is refused.
  const Refusal* first_refusal = nullptr;
  for (const Refusal& refusal : handler.refusals) {
    if (refusal.member == kNoMember) return refused(refusal);
    if (last_of[first_of[refusal.member]] != refusal.member) continue;
    if (first_refusal == nullptr || first_of[refusal.member] < first_of[first_refusal->member]) {
      first_refusal = &refusal;
    }
  }
  if (first_refusal != nullptr) return refused(*first_refusal);
  // The writes of each id's last member go to the place of its first
  // occurrence (a refused member wrote nothing).
  std::vector<PositionInput>& line_writes = scratch_.line_writes;
  line_writes.assign(writes_.begin() + static_cast<std::ptrdiff_t>(first_write), writes_.end());
  const std::size_t line_end = writes_.size();
  writes_.resize(first_write);
  for (std::size_t m = 0; m < members; ++m) {
    if (first_of[m] != m) continue;
    const std::size_t last = last_of[m];
    const std::size_t begin = member_writes_[last];
    const std::size_t end = last + 1 < members ? member_writes_[last + 1] : line_end;
    for (std::size_t w = begin; w < end; ++w) writes_.push_back(line_writes[w - first_write]);
  }
  return std::nullopt;
}

void VectorLines::parse(std::string_view text, std::size_t first_line, const Component& component,
                        const VectorNames* names, std::size_t max_held) {
  if (names != nullptr || names_ != nullptr) {
    expected_.clear();  // the ports found by the ids may be others now
    distinct_ = 0;
  }
  component_ = &component;
  names_ = names;
  writes_.clear();
  ends_.clear();
  lines_.clear();
  unknown_.clear();
  reported_.clear();
  bit_strings_.clear();
  noted_.clear();
  copies_.clear();
  fault_.reset();
  held_ = 0;
  stopped_ = false;
  read_ = 0;
  line_ = first_line;
  for (std::size_t start = 0; start < text.size(); ++line_) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (is_blank(line)) continue;

    const std::size_t first_write = writes_.size();
    json::error_code code;
    std::string_view parsed = line;
    std::size_t consumed = parse_line(parsed, code);
    if (code == json::error::exponent_overflow) {
      // Valid JSON whose exponent the parser cannot hold: read again with
      // long exponents cut down, as the IR loader does, which keeps every
      // offset (and no number is a bit string anyway). The strings of the
      // copy stay in copies_.
      std::string clamped(line);
      clamp_long_exponents(clamped);
      copies_.push_back(std::move(clamped));
      parsed = copies_.back();
      writes_.resize(first_write);
      consumed = parse_line(parsed, code);
      same_ids_ = false;  // the first try left this line's ids in expected_
    }
    if (!code && parsed.find_first_not_of(" \t\r", consumed) != std::string_view::npos) {
      consumed = parsed.find_first_not_of(" \t\r", consumed);
      code = json::error::extra_data;
    }
    if (code) {
      writes_.resize(first_write);
      const ParseFault fault = classify_parse_fault(parsed, consumed, code, kMaxJsonDepth);
      fault_.emplace();
      fault_->vector = ends_.size();
      fault_->line = line_;
      fault_->kind = LineRefusal::kJson;
      fault_->message = "invalid JSON: column " +
                        std::to_string(position_of(parsed, fault.offset).column) + ": " +
                        fault.what;
      return;
    }
    if (auto refusal = keep_last_members(first_write)) {
      writes_.resize(first_write);
      fault_ = std::move(refusal);
      return;
    }
    ends_.push_back(writes_.size());
    lines_.push_back(line_);
    read_ = start;
    if (held() >= max_held && start < text.size()) {
      stopped_ = true;
      return;
    }
  }
  read_ = text.size();
}

namespace {

// Below this size a block is read on the calling thread alone.
constexpr std::size_t kSplitBytes = std::size_t{64} << 10;

}  // namespace

void VectorBlock::parse(std::string_view text, std::size_t first_line, const Component& component,
                        bool two_threads, const VectorNames* names, std::size_t max_held) {
  std::size_t middle = text.size();
  if (two_threads && text.size() >= kSplitBytes && std::thread::hardware_concurrency() > 1) {
    const std::size_t newline = text.find('\n', text.size() / 2);
    if (newline != std::string_view::npos) middle = newline + 1;
  }
  const std::string_view first = text.substr(0, middle);
  const std::string_view second = text.substr(middle);
  if (second.empty()) {
    halves_[1].parse({}, first_line, component, names, max_held);
    halves_[0].parse(first, first_line, component, names, max_held);
  } else {
    const std::size_t second_line =
        first_line + static_cast<std::size_t>(std::count(first.begin(), first.end(), '\n'));
    std::exception_ptr failure;
    std::thread reader([&] {
      try {
        halves_[1].parse(second, second_line, component, names, max_held);
      } catch (...) {
        failure = std::current_exception();
      }
    });
    halves_[0].parse(first, first_line, component, names, max_held);
    reader.join();
    if (failure) std::rethrow_exception(failure);
  }

  // Joined in line order, up to the first fault, or up to where the first
  // half stopped (the second is then read again by a later call).
  writes_.clear();
  ends_.clear();
  lines_.clear();
  unknown_.clear();
  bit_strings_.clear();
  fault_.reset();
  read_ = halves_[0].stopped() ? halves_[0].read() : first.size() + halves_[1].read();
  const std::size_t halves = halves_[0].stopped() ? 1 : 2;
  std::size_t vectors = 0;
  for (std::size_t h = 0; h < halves; ++h) {
    const VectorLines& half = halves_[h];
    const TextVectors part = half.vectors();
    const std::size_t offset = writes_.size();
    writes_.insert(writes_.end(), part.writes.begin(), part.writes.end());
    for (const std::size_t end : part.ends) ends_.push_back(offset + end);
    lines_.insert(lines_.end(), half.lines().begin(), half.lines().end());
    for (const auto& entry : half.unknown()) {
      const bool seen = std::any_of(unknown_.begin(), unknown_.end(), [&](const auto& known) {
        return known.second == entry.second;
      });
      if (!seen) unknown_.push_back(entry);
    }
    for (const BitStringNote& note : half.bit_strings()) {
      const bool seen =
          std::any_of(bit_strings_.begin(), bit_strings_.end(),
                      [&](const BitStringNote& known) { return known.id == note.id; });
      if (!seen) bit_strings_.push_back(note);
    }
    if (half.fault()) {
      fault_ = half.fault();
      fault_->vector += vectors;
      return;
    }
    vectors += part.size();
  }
}

}  // namespace nimbo
