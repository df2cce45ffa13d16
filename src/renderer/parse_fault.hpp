// Names the fault behind a failed JSON parse.
//
// The parser says little more than "syntax error" and how many bytes it
// consumed. The classifier looks at the text around that offset and returns
// what is wrong there, and where the offending token starts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <boost/json/error.hpp>

namespace nimbo {

struct ParseFault {
  std::size_t offset;  // byte offset the message refers to
  std::string what;    // e.g. "unexpected '@'", "trailing comma before ']'"
};

// `offset` is the number of bytes the parser consumed before it stopped with
// `code`; the text up to there is a valid prefix of a JSON document.
ParseFault classify_parse_fault(std::string_view text, std::size_t offset,
                                const boost::json::error_code& code, std::size_t max_depth);

}  // namespace nimbo
