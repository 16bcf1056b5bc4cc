"""Text from inputs (file names, header names, field values, the library's lines) as the tools print
it: characters that a terminal would act on are escaped, so that a NUL, a line break or an ANSI
escape sequence in a log can neither hide nor rewrite what the tools say."""
from __future__ import annotations


def escaped(text: str) -> str:
    """`text` with every non-printable character (C0 and C1 controls, DEL, line and paragraph
    separators, unassigned code points) written as Python writes it in a string literal: \\n,
    \\t, \\x1b, \\u2028; a backslash stays a backslash. Printable text is unchanged, non-ASCII
    letters included."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)
