"""Peak memory of one call, above what the process held before it.

    python bench/peak_memory.py PART.xml [patch_xml|pre_render|post_render]

Reads the part from a file (so that no generator's garbage inflates the
baseline), then prints the growth of the process's peak resident set during one
call, in units of the part's UTF-8 size. Write 100 MB parts first with
`python bench/bench.py --size-mb 100 --write-parts DIR`.
"""

from __future__ import annotations

import resource
import sys

from tesserine import _native


def main() -> None:
    path = sys.argv[1]
    name = sys.argv[2] if len(sys.argv) > 2 else "patch_xml"
    with open(path, encoding="utf-8") as f:
        text = f.read()
    size = sum(len(text[i:i + (1 << 20)].encode()) for i in range(0, len(text), 1 << 20))
    with open("/proc/self/statm") as f:
        resident = int(f.read().split()[1]) * resource.getpagesize()
    result = getattr(_native, name)(text)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"{name} on {path}: {size / 1e6:.1f} MB of UTF-8; resident before the call "
          f"{resident / 1e6:.0f} MB, peak during it {peak / 1e6:.0f} MB: "
          f"{(peak - resident) / size:.2f} texts above the argument")
    del result


if __name__ == "__main__":
    main()
