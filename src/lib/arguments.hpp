// Argument parsing for every entry point that takes arguments.
//
// Each such entry point takes exactly one required argument, by position or
// by keyword. Argument errors are raised as TypeError with CPython's usual
// wording; a wrong argument type as "argument '<name>': ..." naming the type.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/simulation.hpp"
#include "lib/py_ref.hpp"
#include "lib/python.hpp"

namespace nimbo::py {

// One required parameter: `function` is the qualified name used in messages
// ("Renderer.__new__"), `name` the parameter name.
struct Parameter {
  const char* function;
  const char* name;
};

// The argument from a call with a tuple and a keyword dict (tp_new).
// Borrowed; null with TypeError set on an argument error.
PyObject* single_argument(const Parameter& parameter, PyObject* args, PyObject* kwargs);

// The argument from a vectorcall (METH_FASTCALL | METH_KEYWORDS).
PyObject* single_argument(const Parameter& parameter, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// The UTF-8 text of a str argument (subclasses accepted); it lives as long
// as `object`. Empty with an exception set on failure.
std::optional<std::string_view> utf8_argument(const Parameter& parameter, PyObject* object);

// The UTF-8 texts of a sequence of str, copied. `not_a_sequence` and
// `not_a_str` are the TypeError texts for the sequence and for an item.
// Empty with an exception set on failure.
std::optional<std::vector<std::string>> utf8_texts(PyObject* object, const char* not_a_sequence,
                                                   const char* not_a_str);

// The inputs of an update, converted from a dict of str to str. The views
// point into the str objects, which `owners` keeps alive.
struct SignalInputs {
  std::vector<PyRef> owners;
  std::vector<SignalInput> inputs;
};

// Converts `object` completely (entry by entry in dict order, key before
// value); empty with TypeError set on the first wrong entry, its message
// starting with `place` ("argument 'new_values'", "vector 3"). The one
// converter of inputs for nimbo.core's handle and nimbo.Simulator.
std::optional<SignalInputs> signal_inputs_argument(std::string_view place, PyObject* object);
// The place of an argument in messages: "argument 'NAME'".
std::string argument_place(const Parameter& parameter);

}  // namespace nimbo::py
