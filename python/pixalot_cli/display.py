"""How paths and names appear in the command's text output."""

from __future__ import annotations

import re
from pathlib import Path


def display(path: Path) -> str:
    """A path as the user would type it: relative to the working folder when inside it."""
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


# Characters that would break a line of text output or change what the terminal shows:
# control characters, line and paragraph separators, bidirectional overrides, and the lone
# surrogates by which Python carries a name's undecodable bytes.
_UNSHOWABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff]")
_NAMED_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match[str]) -> str:
    character = match.group()
    code = ord(character)
    if character in _NAMED_ESCAPES:
        return _NAMED_ESCAPES[character]
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"  # the undecodable byte itself
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: str) -> str:
    """A line of text output with the names in it made safe to print: every character that
    could end the line early, or be taken by the terminal for a command, is written as its
    backslash escape."""
    return _UNSHOWABLE.sub(_escape, text)
