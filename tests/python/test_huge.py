"""Texts larger than 4 GiB, whose offsets and sizes must not wrap at 32 bits: one short
pattern per function, repeated until the text is just over 4 GiB (TESSERINE_HUGE_BYTES
overrides the size); the result must be the pattern's result repeated. Opt-in, as it
needs minutes and about four times the text size in free memory (a case is skipped
without it): TESSERINE_HUGE=1 python3 -m pytest tests/python/test_huge.py"""

from __future__ import annotations

import os

import pytest

from tesserine import _native

pytestmark = pytest.mark.skipif(
    os.environ.get("TESSERINE_HUGE") != "1", reason="set TESSERINE_HUGE=1 to run"
)

SIZE = int(os.environ.get("TESSERINE_HUGE_BYTES", str(4 * 2**30 + 64 * 2**20)))

# ASCII only, so the str holds one byte per character and shares its UTF-8 form.
# Each pattern is rewritten by its function, so the writing paths run past 4 GiB.
PATTERNS = [
    # Patching marks the text element of the tag as space-preserving.
    ("patch_xml", "<w:p><w:r><w:t>{{ x }}" + "a" * 100 + "</w:t></w:r></w:p>"),
    # A line feed before every paragraph.
    ("pre_render", "<w:p><w:r><w:t>" + "b" * 100 + "</w:t></w:r></w:p>"),
    # The line feed goes, the delimiter is restored, the tab becomes markup.
    ("post_render", "\n<w:p><w:r><w:t>{_{ y }_}" + "c" * 200 + "\td</w:t></w:r></w:p>"),
    # Only the line feed goes: the str is worked on as it is.
    ("post_render", "\n<w:p><w:r><w:t>" + "e" * 100 + "</w:t></w:r></w:p>"),
]


def available_memory() -> int:
    with open("/proc/meminfo") as meminfo:
        return next(int(line.split()[1]) * 1024 for line in meminfo if line.startswith("MemAvailable:"))


@pytest.mark.parametrize("name,pattern", PATTERNS)
def test_result_of_a_huge_text_is_the_repeated_small_result(name: str, pattern: str) -> None:
    function = getattr(_native, name)
    one = function(pattern)
    assert one is not None and one != pattern
    assert function(pattern * 3) == one * 3

    repeats = -(-SIZE // len(pattern))
    # The input, the native result and the result str (the larger of which also
    # bounds the intermediate texts), plus the blocks compared at the end.
    needed = repeats * (len(pattern) + 2 * len(one)) + 2**29
    if available_memory() < needed:
        pytest.skip(f"needs about {needed / 2**30:.1f} GiB of free memory")

    # Built in blocks of whole patterns, so the comparison below can go block by block.
    per_block = max(1, (64 * 2**20) // len(pattern))
    blocks, rest = divmod(repeats, per_block)
    text = "".join([pattern * per_block] * blocks + [pattern * rest])
    assert len(text) >= SIZE
    result = function(text)
    del text

    expected_block = one * per_block
    assert result is not None and len(result) == len(one) * repeats
    step = len(expected_block)
    for block in range(blocks):
        assert result[block * step : (block + 1) * step] == expected_block, f"block {block} differs"
    assert result[blocks * step :] == one * rest
