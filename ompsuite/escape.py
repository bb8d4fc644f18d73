"""Escaping untrusted text (docs/commands.md, "The report page") for a Markdown table cell or a one-line
message: any value in (bytes decoded as UTF-8 with replacement), text that stays within its
target's syntax out. Programs start from argument lists, never through a shell."""
import re
import unicodedata
from typing import Optional


# Directional overrides and isolates: invisible, yet they reorder what a terminal shows.
_BIDI = frozenset("\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


def _text(value: object) -> str:
    return bytes(value).decode("utf-8", errors="replace") if isinstance(value, (bytes, bytearray)) else str(value)


def _is_control(ch: str) -> bool:
    # C0, DEL and C1 controls (newline, carriage return, NEL, escape...) and the Unicode line and
    # paragraph separators: anything that can end a line or steer a terminal.
    return unicodedata.category(ch) in ("Cc", "Zl", "Zp")


# The backslash too, or one in the text would cancel the escape after it. The pipe would split the
# cell; the others would turn text into HTML, a link, code or emphasis. The underscore is left alone:
# it is in paths and names everywhere (OMP_PLACES, /tmp/a_b), and inside a word emphasises nothing.
_MARKDOWN_ACTIVE = re.compile(r"([\\|`*\[\]<>&])")  # a lone ~ (the "no change" verdict) strikes nothing out


def markdown_cell(value: object) -> str:
    """Text that shows as it is in one Markdown table cell: one line (a control character a space, a lone
    surrogate U+FFFD, as UTF-8 cannot write it), trimmed, the pipe and markup escaped with a backslash."""
    flat = "".join(" " if _is_control(c) else "\ufffd" if "\ud800" <= c <= "\udfff" else c for c in _text(value))
    return _MARKDOWN_ACTIVE.sub(r"\\\1", flat.strip())


def _visible(ch: str) -> str:
    if "\udc80" <= ch <= "\udcff":  # a byte that was not UTF-8, kept by surrogateescape
        return f"\\x{ord(ch) - 0xdc00:02x}"
    return ch.encode("unicode_escape").decode("ascii")  # \n, \x1b, \u202e


def printable(value: object, limit: Optional[int] = None) -> str:
    """The text for a one-line message: control characters, directional overrides and lone
    surrogates as escapes (\\n, \\x1b, \\u202e), so that it can neither break the line nor steer the
    terminal; with a limit, longer text is cut to that many characters, ending in '...'."""
    text = "".join(_visible(c) if _is_control(c) or c in _BIDI or "\ud800" <= c <= "\udfff" else c
                   for c in _text(value))
    if limit is not None and len(text) > limit:
        text = text[:max(limit - 3, 0)] + "..."
    return text
