#include "renderer/json_document.hpp"

#include <string>
#include <utility>

#include <boost/json/parser.hpp>

#include "renderer/exponent_clamp.hpp"
#include "renderer/parse_fault.hpp"
#include "renderer/text_position.hpp"

namespace nimbo {
namespace {

namespace json = boost::json;

struct Failure {
  json::error_code code;
  std::size_t offset;
};

// One parse attempt: the document, or the error and the bytes consumed.
Result<json::value> parse_once(std::string_view text, const json::storage_ptr& storage,
                               Failure& failure) {
  json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  // The parser's own stack starts in this buffer and only grows on the heap
  // for wide or deep documents.
  unsigned char scratch[4096];
  json::parser parser(json::storage_ptr(), options, scratch, sizeof scratch);
  parser.reset(storage);
  json::error_code code;
  const std::size_t consumed = parser.write(text.data(), text.size(), code);
  if (code) {
    failure = Failure{code, consumed};
    return Error{};
  }
  return parser.release();
}

std::string describe(std::string_view text, const Failure& failure, bool with_line) {
  const ParseFault fault = classify_parse_fault(text, failure.offset, failure.code, kMaxJsonDepth);
  const TextPosition position = position_of(text, fault.offset);
  std::string where = with_line ? "line " + std::to_string(position.line) + ", " : std::string();
  return where + "column " + std::to_string(position.column) + ": " + fault.what;
}

Result<json::value> parse(std::string_view text, const json::storage_ptr& storage, bool with_line) {
  Failure failure;
  Result<json::value> parsed = parse_once(text, storage, failure);
  if (parsed.ok()) return parsed;
  if (failure.code != json::error::exponent_overflow) {
    return Error{describe(text, failure, with_line)};
  }

  // Valid JSON the parser cannot hold: retry on a copy whose long exponents
  // are cut down. Offsets are unchanged, so positions still match `text`.
  std::string clamped(text);
  clamp_long_exponents(clamped);
  parsed = parse_once(clamped, storage, failure);
  if (parsed.ok()) return parsed;
  return Error{describe(clamped, failure, with_line)};
}

}  // namespace

BitBusValue bits_of_array(const json::array& elements) {
  BitBusValue bits = BitBusValue::zeros(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (elements[i].is_bool() && elements[i].get_bool()) bits.set_bit(i, true);
  }
  return bits;
}

Result<json::value> parse_json_document(std::string_view text, json::storage_ptr storage) {
  return parse(text, storage, true);
}

Result<json::value> parse_json_line(std::string_view text, json::storage_ptr storage) {
  return parse(text, storage, false);
}

}  // namespace nimbo
