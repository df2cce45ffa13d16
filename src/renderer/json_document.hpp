// Parses one whole JSON text into a document tree, with positioned messages.
#pragma once

#include <cstddef>
#include <string_view>

#include <boost/json/array.hpp>
#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>

#include "busses/bit_bus_value.hpp"
#include "common/result.hpp"

namespace nimbo {

// Arrays and objects may nest this deep; one level more is an error.
inline constexpr std::size_t kMaxJsonDepth = 127;

// Parses `text` (standard JSON, white space around the value allowed) with
// every node allocated from `storage`. On failure the message reads
// "line L, column C: <what is wrong>".
Result<boost::json::value> parse_json_document(std::string_view text,
                                               boost::json::storage_ptr storage);

// The bits of a JSON array, one per element: true is a 1 bit, anything else
// (false, numbers including 1, strings, null, arrays, objects) a 0 bit.
BitBusValue bits_of_array(const boost::json::array& elements);

// The same for a text of one line; the message reads "column C: <what>".
Result<boost::json::value> parse_json_line(std::string_view text, boost::json::storage_ptr storage);

}  // namespace nimbo
