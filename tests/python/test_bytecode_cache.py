"""The compiled-template cache: reused across processes, never stale, never torn."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from collections.abc import Callable
from pathlib import Path
from typing import Any

import jinja2
import pytest
from helpers_docx import child_env
from jinja2.compiler import CodeGenerator
from jinja2.sandbox import SandboxedEnvironment
from test_cli import run as run_command

from tesserine import _bytecode_cache as cache
from tesserine._bytecode_cache import DiskBytecodeCache, compile_part

SOURCE = "<w:t>{{ name | upper }}</w:t>{{ 'a' | shout }}{% for item in items %}<w:t>{{ item }}</w:t>{% endfor %}"
PART = "word/document.xml"
EXPECTED = "<w:t>ADA</w:t>A<w:t>1</w:t><w:t>2</w:t>"


@pytest.fixture
def compiles(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> list[str | None]:
    """The parts Jinja2 actually compiles, with the user's cache folder in tmp_path."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    monkeypatch.delenv("TESSERINE_CACHE", raising=False)
    seen: list[str | None] = []
    original = jinja2.Environment.compile

    def counting(self: jinja2.Environment, source: str, name: str | None = None, filename: str | None = None) -> object:
        seen.append(filename)
        return original(self, source, name, filename)

    monkeypatch.setattr(jinja2.Environment, "compile", counting)
    return seen


def entries(tmp_path: Path) -> list[Path]:
    return sorted((tmp_path / "tesserine").glob("*.j2c"))


def render(template: jinja2.Template) -> str:
    return template.render(name="ada", items=[1, 2])


# Same module and name, other code: the optimiser calls filters on constants while compiling.
FILTERS = [lambda value: value.upper(), lambda value: value.lower()]


class Generator(CodeGenerator):
    pass


class Custom(jinja2.Environment):
    code_generator_class = Generator


def make_env(
    kind: type[jinja2.Environment] = jinja2.Environment, shout: int = 0, **settings: Any
) -> jinja2.Environment:
    made = kind(**settings)
    made.filters["shout"] = FILTERS[shout]
    return made


def with_policy(made: jinja2.Environment) -> jinja2.Environment:
    made.policies["compiler.ascii_str"] = False
    return made


VARIANTS: list[tuple[str, Callable[[], jinja2.Environment], str, str]] = [
    ("same settings, fresh environment", lambda: make_env(), PART, SOURCE),
    ("changed source", lambda: make_env(), PART, SOURCE + " "),
    ("other part", lambda: make_env(), "word/header1.xml", SOURCE),
    ("sandbox", lambda: make_env(SandboxedEnvironment), PART, SOURCE),
    ("code generator", lambda: make_env(Custom), PART, SOURCE),
    # Delimiters, whitespace handling and the like are read from the environment alike.
    ("delimiters", lambda: make_env(variable_start_string="[["), PART, SOURCE),
    ("extension", lambda: make_env(extensions=["jinja2.ext.loopcontrols"]), PART, SOURCE),
    ("policy", lambda: with_policy(make_env()), PART, SOURCE),
    ("filter code", lambda: make_env(shout=1), PART, SOURCE),
]


@pytest.mark.parametrize(("case", "make", "part", "source"), VARIANTS, ids=[v[0] for v in VARIANTS])
def test_anything_that_changes_the_compiled_code_misses(
    compiles: list[str | None], case: str, make: Callable[[], jinja2.Environment], part: str, source: str
) -> None:
    compile_part(make_env(), PART, SOURCE)
    compiles.clear()
    compile_part(make(), part, source)
    hit = case == "same settings, fresh environment"
    assert compiles == ([] if hit else [part])


@pytest.mark.parametrize("damage", [
    lambda data: data[:len(data) // 2],
    # Still valid marshal data, so only the entry's own digest can tell.
    lambda data: data[:32] + data[32:].replace(b"<w:t>", b"<w:X>", 1),
], ids=["truncated", "changed text"])
def test_a_corrupt_entry_is_ignored_and_rewritten(
    compiles: list[str | None], tmp_path: Path, damage: Callable[[bytes], bytes]
) -> None:
    env = make_env()
    compile_part(env, PART, SOURCE)
    [entry] = entries(tmp_path)
    entry.write_bytes(damage(entry.read_bytes()))
    assert render(compile_part(env, PART, SOURCE)) == EXPECTED
    assert render(compile_part(env, PART, SOURCE)) == EXPECTED
    assert compiles == [PART, PART]


WRITER = textwrap.dedent("""
    import jinja2, sys
    from tesserine._bytecode_cache import DiskBytecodeCache
    store = DiskBytecodeCache(sys.argv[1], max_bytes=int(sys.argv[2]))
    env = jinja2.Environment()
    code = env.compile(sys.argv[3], "part")
    for round in range(100):
        for source in (sys.argv[3], f"{round}{sys.argv[4]}"):
            bucket = store.get_bucket(env, "part", None, source)
            bucket.code = code
            store.set_bucket(bucket)
""")


def test_two_processes_writing_at_once_leave_no_torn_entry(tmp_path: Path) -> None:
    folder = tmp_path / "cache"
    big = "<w:p>{{ name }}</w:p>" * 2000
    entry = folder / f"{cache.cache_key(jinja2.Environment(), 'part', big)}.j2c"
    # A bound of a few entries makes each writer prune while the other writes.
    writers = [
        subprocess.Popen([sys.executable, "-c", WRITER, str(folder), str(1_000_000), big, tag], env=child_env())
        for tag in "ab"
    ]
    whole = 0
    while any(writer.poll() is None for writer in writers):
        try:
            data = entry.read_bytes()
        except FileNotFoundError:
            continue
        assert cache._DIGEST(data[cache._DIGEST_SIZE:]).digest() == data[:cache._DIGEST_SIZE]
        whole += 1
    assert [writer.wait() for writer in writers] == [0, 0]
    assert whole > 0
    assert not list(folder.glob("*.tmp"))
    assert DiskBytecodeCache(str(folder)).get_bucket(jinja2.Environment(), "part", None, big).code is not None


def test_pruning_keeps_the_entries_used_last(tmp_path: Path) -> None:
    env = jinja2.Environment()
    sources = [f"<w:t>{index}</w:t>" + "{{ x }}" * 200 for index in range(6)]
    code = env.compile(sources[0], PART)
    store = DiskBytecodeCache(str(tmp_path))
    for age, source in enumerate(sources):
        bucket = store.get_bucket(env, PART, None, source)
        bucket.code = code
        store.set_bucket(bucket)
        os.utime(tmp_path / f"{bucket.key}.j2c", (1000 + age, 1000 + age))
    size = (tmp_path / f"{bucket.key}.j2c").stat().st_size
    store.max_bytes = 3 * size
    assert store.get_bucket(env, PART, None, sources[0]).code is not None  # a hit makes it recent
    store.prune()
    kept = [store.get_bucket(env, PART, None, source).code is not None for source in sources]
    assert kept == [True, False, False, False, True, True]


@pytest.mark.parametrize("setting", ["off", "unsafe folder"])
def test_cache_off_or_unsafe_folder_stores_nothing(
    compiles: list[str | None], tmp_path: Path, monkeypatch: pytest.MonkeyPatch, setting: str
) -> None:
    if setting == "off":
        monkeypatch.setenv("TESSERINE_CACHE", "off")
    else:
        (tmp_path / "tesserine").mkdir(mode=0o777)
        os.chmod(tmp_path / "tesserine", 0o777)
    for _ in range(2):
        assert render(compile_part(make_env(), PART, SOURCE)) == EXPECTED
    assert compiles == [PART, PART]
    assert entries(tmp_path) == []


DOCUMENT_CHILD = textwrap.dedent("""
    import jinja2, json
    from importlib import resources
    from tesserine import Scrivelle
    compiled = []
    original = jinja2.Environment.compile
    jinja2.Environment.compile = lambda self, *args, **kwargs: compiled.append(1) or original(self, *args, **kwargs)
    examples = resources.files("tesserine") / "examples"
    document = Scrivelle(examples / "invoice-letter.docx")
    document.render(json.loads((examples / "invoice-letter.json").read_text()))
    print(len(compiled), len(document.parts))
""")


def test_a_document_renders_from_the_cache_in_a_new_process_until_it_is_cleared(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))

    def compiles() -> tuple[int, int]:
        output = subprocess.run([sys.executable, "-c", DOCUMENT_CHILD], env=child_env(), capture_output=True,
                                text=True, check=True).stdout
        compiled, parts = map(int, output.split())
        return compiled, parts

    compiled, parts = compiles()
    assert compiled == parts > 1
    assert compiles() == (0, parts)
    cleared = run_command("cache", "clear")
    assert (cleared.returncode, cleared.stdout) == (0, f"removed {parts} compiled template parts from"
                                                       f" {tmp_path / 'tesserine'}\n")
    assert entries(tmp_path) == []
    assert compiles() == (parts, parts)
