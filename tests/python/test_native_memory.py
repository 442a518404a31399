"""Memory exhaustion in tesserine._native: under a lowered address-space limit each entry
point, on each of its routes, raises MemoryError with the note naming its parameter, and
the process carries on: the next call works, nothing aborts. Each case runs in a child
process that builds its input first and only then lowers the limit, to a headroom in
units of the input's length that lets the interpreter go on but not the native result."""

from __future__ import annotations

import subprocess
import sys

import pytest

# The limit and the reading of the address space in use are Linux's.
pytestmark = pytest.mark.skipif(sys.platform != "linux", reason="needs Linux's RLIMIT_AS")

MB = 2**20

CHILD = """
import resource, sys
from tesserine import _native

name, expression, headroom = sys.argv[1], sys.argv[2], float(sys.argv[3])
function = getattr(_native, name)
text = eval(expression)
small = "<w:p><w:r><w:t>a\\nb</w:t></w:r></w:p>"
expected = function(small)

with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (used + int(headroom * len(text)), resource.RLIM_INFINITY))
try:
    function(text)
except MemoryError as error:
    print(getattr(error, "__notes__", []))
else:
    sys.exit("no MemoryError")
assert function(small) == expected, "the call after the MemoryError went wrong"
"""


def part(paragraph: str, first: str = "") -> str:
    """The expression of a part of about 64 MB: `first`, then `paragraph` repeated."""
    return f"{first!r} + {paragraph!r} * {64 * MB // len(paragraph.encode())}"


# A tag split over two runs whose text elements already preserve space: only the
# first pass rewrites it, so the work needs one copy of the text and the result
# str a second one.
ONE_REWRITE = '<w:p><w:r><w:t xml:space="preserve">{</w:t></w:r><w:r><w:t xml:space="preserve">{ x }}</w:t></w:r></w:p>'

CASES = [
    # Each LF in a text element becomes a line break element: 20 million of them
    # outgrow the headroom inside the core, on the UTF-8 route.
    pytest.param("post_render", "'<w:p><w:r><w:t>' + '\\n' * 20_000_000 + '</w:t></w:r></w:p>'", 4,
                 id="post_render-listing-utf8-route"),
    # Only LFs come or go, on the str's own units: no room for the result.
    pytest.param("post_render", part("\n<w:p><w:r><w:t>x</w:t></w:r></w:p>"), 0.5, id="post_render-breaks-units-route"),
    pytest.param("pre_render", part("<w:p><w:r><w:t>x</w:t></w:r></w:p>"), 0.5, id="pre_render-one-byte-units"),
    pytest.param("pre_render", part("<w:p><w:r><w:t>\u2019</w:t></w:r></w:p>"), 0.5, id="pre_render-two-byte-units"),
    # Every paragraph rewritten: the passes run out of room.
    pytest.param("patch_xml", part("<w:p><w:r><w:t>{</w:t></w:r><w:r><w:t>{ x }}</w:t></w:r></w:p>"), 0.5,
                 id="patch_xml-work"),
    # The work fits and the result str does not.
    pytest.param("patch_xml", part("<w:p><w:r><w:t>plain</w:t></w:r></w:p>", ONE_REWRITE), 1.5,
                 id="patch_xml-result-str"),
    # A str of two-byte units is encoded to UTF-8 first: no room for that copy.
    pytest.param("patch_xml", part("<w:p><w:r><w:t>\u2019</w:t></w:r></w:p>", ONE_REWRITE), 0.5,
                 id="patch_xml-utf8-copy"),
]


@pytest.mark.parametrize("name,expression,headroom", CASES)
def test_memory_exhaustion_raises_memory_error_with_the_note(name: str, expression: str, headroom: float) -> None:
    child = subprocess.run([sys.executable, "-c", CHILD, name, expression, str(headroom)],
                           capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stderr) == (0, "")
    parameter = "dst" if name == "post_render" else "src"
    assert child.stdout == f"[\"while processing '{parameter}'\"]\n"
