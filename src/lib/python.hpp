// The one include of the CPython headers for the extension's sources.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
