"""Renderers of what `diff` found, for people and for programs.

Each takes the TextChange records of `diff(old, new, as_text=True)` and yields
lines of text, each ending with a line feed: `text_lines` (+ added, - removed,
~ changed with the columns that differ), `jsonl_lines` (one JSON object per
change), `stat_lines` (counts per member and in all), `markdown_lines` (a
summary table and the first changes of each member) and `html_lines` (one
self-contained page).
"""

from .html import html_lines
from .jsonl import jsonl_lines
from .markdown import markdown_lines
from .stat import stat_lines
from .text import text_lines

__all__ = ["text_lines", "jsonl_lines", "stat_lines", "markdown_lines", "html_lines"]
