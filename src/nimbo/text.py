"""Text forms for tables and messages: ids quoted when they would mislead,
long values and messages cut with their length given."""

from __future__ import annotations

import re
import unicodedata


def one_line(text: object) -> str:
    return " ".join(str(text).splitlines())


_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}
_COMBINING = ("Mn", "Me")
# Ids made of these characters are shown as they are.
_PLAIN_ASCII = re.compile(r"[!#-\[\]-~]+")
VALUE_SHOWN = 40  # characters of a value that a message shows


def _escaped(ch: str) -> str:
    special = _ESCAPES.get(ch)
    if special is not None:
        return special
    if ch.isprintable() and unicodedata.category(ch) not in _COMBINING:
        return ch
    return f"\\u{{{ord(ch):x}}}"


def quote(text: str) -> str:
    """The quoted form the native core uses for ids: the text in double
    quotes; quotes, backslashes, control, unprintable and combining
    characters escaped (\\n, \\u{301}, ...)."""
    return '"' + "".join(_escaped(ch) for ch in text) + '"'


def _bare(ch: str) -> bool:
    return ch not in _ESCAPES and ch.isprintable() and not ch.isspace() and unicodedata.category(ch) not in _COMBINING


def show_id(bus_id: str) -> str:
    """An id as tables and messages show it: as it is when every character
    is visible and none is a space, a quote or a backslash; quoted otherwise,
    so that an id never splits a line or hides its characters."""
    if _PLAIN_ASCII.fullmatch(bus_id) or (bus_id and all(_bare(ch) for ch in bus_id)):
        return bus_id
    return quote(bus_id)


def show_name(bus_id: str, limit: int = VALUE_SHOWN) -> str:
    """An id as messages name it: as show_id shows it, and one longer than
    `limit` characters cut there with its length given, as values are."""
    if len(bus_id) <= limit:
        return show_id(bus_id)
    return f"{quote(bus_id[:limit])}... ({len(bus_id)} characters)"


def show_value(text: str, limit: int = VALUE_SHOWN) -> str:
    """A value for a message: quoted, and cut after `limit` characters with
    its length given."""
    if len(text) <= limit:
        return quote(text)
    return f"{quote(text[:limit])}... ({len(text)} characters)"


def clip(message: str, limit: int = 300) -> str:
    """A message cut to `limit` characters, with its length given."""
    message = one_line(message)
    if len(message) <= limit:
        return message
    return f"{message[:limit]}... ({len(message)} characters)"

