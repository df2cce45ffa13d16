// nimbo.VectorError: a vector of a batch that was refused or failed.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "engine/vectors.hpp"
#include "lib/python.hpp"
#include "renderer/vector_lines.hpp"

namespace nimbo::py {

// The VectorError type (a RuntimeError), created on first need. Borrowed;
// null with an exception set when it cannot be created.
PyObject* vector_error_type();

// Raises VectorError for `fault`: the vector numbered `index` (of the call),
// on `line` for JSON Lines, at the bus `id`; `results` is what the vectors
// before it gave. Returns null.
PyObject* raise_vector_error(const VectorFault& fault, std::size_t index,
                             std::optional<std::size_t> line, const std::optional<std::string>& id,
                             PyObject* results);

// The same error as a new object, not raised; `sequence` numbers the
// sequence of run_sequences. Null with an exception set on failure.
PyObject* make_vector_error(const VectorFault& fault, std::size_t index,
                            std::optional<std::size_t> line, const std::optional<std::string>& id,
                            PyObject* results, std::optional<std::size_t> sequence = std::nullopt);

// The error for a line the reader refused (its kind, value and what is
// wrong, as attributes), the vector numbered `index`, on `line` unless it is
// none. Null with an exception set on failure.
PyObject* make_line_error(const LineFault& fault, std::size_t index,
                          std::optional<std::size_t> line, PyObject* results,
                          std::optional<std::size_t> sequence = std::nullopt);

}  // namespace nimbo::py
