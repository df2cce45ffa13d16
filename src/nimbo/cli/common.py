"""The names the commands share, from the modules that own them: errors and
warnings (`errors`), text forms of ids and values (`nimbo.text`), reading inputs
and writing output files (`files`). Kept for the commands that import them
from here."""

from __future__ import annotations

from .errors import (
    EXIT_FAILURE,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_USAGE,
    PROG,
    CliError,
    OutputError,
    Parser,
    flush,
    message_of,
    output_error,
    say,
    warn,
)
from .files import (
    OutputFile,
    OutputFileError,
    VectorBlocks,
    loading_native,
    progress_wanted,
    read_text,
    refuse_inputs,
    render_errors,
    simulator,
)
from ..text import VALUE_SHOWN, clip, one_line, quote, show_id, show_name, show_value

__all__ = [
    "EXIT_FAILURE", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "PROG", "VALUE_SHOWN", "CliError", "OutputError",
    "OutputFile", "OutputFileError", "Parser", "VectorBlocks", "clip", "flush",
    "loading_native", "message_of", "one_line", "output_error", "progress_wanted", "quote",
    "read_text", "refuse_inputs", "render_errors", "say", "show_id", "show_name", "show_value", "simulator", "warn",
]
