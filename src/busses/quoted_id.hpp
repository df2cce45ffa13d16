// The quoted form of a bus id used by debug and text forms: the id between
// double quotes, with quotes, backslashes, control and non-printable
// characters escaped.
#pragma once

#include <string>
#include <string_view>

namespace nimbo {

// Appends `"id"` with escapes to `out`.
void append_quoted_id(std::string& out, std::string_view id);
std::string quote_id(std::string_view id);

}  // namespace nimbo
