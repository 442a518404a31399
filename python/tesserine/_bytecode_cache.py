"""Compiled template parts kept on disk, so that a new process skips Jinja2's compile.

Entries live in `$XDG_CACHE_HOME/tesserine` (else `~/.cache/tesserine`), one file per
compiled part, and are written through Jinja2's own `Bucket`. The folder grows to
`MAX_BYTES` at most (plus what one process writes between two prunings, under a
sixteenth of that); beyond it the entries used least recently are deleted.
`TESSERINE_CACHE=off` turns the cache off; `clear_cache()` empties it.
"""

from __future__ import annotations

import hashlib
import os
import stat
import sys
import tempfile
import threading
import time
from functools import lru_cache
from types import CodeType, FunctionType
from typing import Any

import jinja2
from jinja2.bccache import Bucket, BytecodeCache
from jinja2.utils import _PassArg

MAX_BYTES = 256 * 1024 * 1024
_SUFFIX = ".j2c"
_TEMPORARY = ".tmp"
# A temporary file this old belongs to a writer that died before renaming it.
_STALE_TEMPORARY_SECONDS = 3600.0
_DIGEST = hashlib.sha256
_DIGEST_SIZE = _DIGEST().digest_size
_PRIMITIVES = (bool, int, float, str, type(None))


def cache_directory() -> str:
    """Where compiled parts are kept: the user's cache folder, as XDG defines it."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "tesserine")


def _callable_identity(func: Any, depth: int = 2) -> str:
    """What of a filter, test or finalize callable the compiled code depends on.

    The code generator writes how the callable is passed its arguments, and the
    optimiser calls filters on constant arguments while compiling, so a filter's
    own code is part of the compiled result, and so is what a wrapper wraps.
    """
    if func is None:
        return "-"
    name = getattr(func, "__qualname__", type(func).__qualname__)
    parts = [f"{getattr(func, '__module__', '')}.{name}", str(_PassArg.from_obj(func))]
    code = getattr(func, "__code__", None)
    if isinstance(code, CodeType):
        parts.append(_code_digest(code))
    for cell in (getattr(func, "__closure__", None) or ()) if depth else ():
        try:
            value = cell.cell_contents
        except ValueError:  # a cell not yet filled
            continue
        if callable(value):
            parts.append(_callable_identity(value, depth - 1))
        else:
            parts.append(_constant_text(value) if isinstance(value, _PRIMITIVES) else type(value).__qualname__)
    return ":".join(parts)


@lru_cache(maxsize=4096)
def _hashable_identity(func: Any) -> str:
    return _callable_identity(func)


def _identity(func: Any) -> str:
    """_callable_identity, remembered: a render's key is taken over the same hundred
    filters and tests for every part, and their code does not change."""
    try:
        return _hashable_identity(func)
    except TypeError:  # a callable object that cannot be hashed
        return _callable_identity(func)


_class_identities: dict[type, str] = {}


def _class_identity(cls: type) -> str:
    """A class and the code of its ancestors outside Jinja2, whose own version is in the key:
    an environment or code generator subclass changes what is compiled."""
    known = _class_identities.get(cls)
    if known is not None:
        return known
    parts = [f"{cls.__module__}.{cls.__qualname__}"]
    for klass in cls.__mro__:
        if klass.__module__.partition(".")[0] in ("jinja2", "builtins"):
            continue
        for attribute, value in sorted(vars(klass).items()):
            function = value.__func__ if isinstance(value, (staticmethod, classmethod)) else value
            if isinstance(function, FunctionType):
                parts.append(f"{klass.__qualname__}.{attribute}={_callable_identity(function)}")
            elif isinstance(value, (*_PRIMITIVES, frozenset)):
                parts.append(f"{klass.__qualname__}.{attribute}={_constant_text(value)}")
    identity = _class_identities[cls] = " ".join(parts)
    return identity


def _code_digest(code: CodeType) -> str:
    digest = _DIGEST(code.co_code)
    digest.update(" ".join(code.co_names).encode() + b"\0")
    for constant in code.co_consts:
        digest.update(_constant_text(constant).encode("utf-8", "surrogatepass") + b"\0")
    return digest.hexdigest()


def _constant_text(constant: object) -> str:
    """A constant as text that is the same in every process: a set's order follows
    the per-process string hash, and a code object's repr holds its address."""
    if isinstance(constant, CodeType):
        return _code_digest(constant)
    if isinstance(constant, (frozenset, tuple)):
        items = [_constant_text(item) for item in constant]
        return f"{type(constant).__name__}({', '.join(sorted(items) if isinstance(constant, frozenset) else items)})"
    return repr(constant)


def _environment_fingerprint(env: jinja2.Environment, name: str) -> list[str]:
    """The environment's settings that change what Jinja2 compiles from a source."""
    autoescape = env.autoescape(name) if callable(env.autoescape) else env.autoescape
    # Delimiters, whitespace and newline handling, async mode, and any flag an
    # extension keeps on the environment are plain values among its attributes.
    settings = sorted((key, repr(value)) for key, value in vars(env).items() if isinstance(value, _PRIMITIVES))
    return [
        _class_identity(type(env)),
        _class_identity(env.code_generator_class),
        repr(settings),
        repr(autoescape),
        repr(sorted((key, repr(value)) for key, value in env.policies.items())),
        repr(sorted((key, ext.priority) for key, ext in env.extensions.items())),
        repr(sorted(getattr(env, "intercepted_binops", ()))),
        repr(sorted(getattr(env, "intercepted_unops", ()))),
        _identity(env.finalize),
        *(f"filter {key} {_identity(func)}" for key, func in sorted(env.filters.items())),
        *(f"test {key} {_identity(func)}" for key, func in sorted(env.tests.items())),
    ]


def cache_key(env: jinja2.Environment, name: str, source: str) -> str:
    """The entry's name: every input that the compiled code depends on, hashed."""
    from . import __version__

    digest = _DIGEST()
    for item in (
        sys.implementation.cache_tag or sys.implementation.name,
        jinja2.__version__,
        __version__,
        name,
        *_environment_fingerprint(env, name),
    ):
        digest.update(item.encode("utf-8", "surrogatepass") + b"\0")
    digest.update(source.encode("utf-8", "surrogatepass"))
    return digest.hexdigest()


class DiskBytecodeCache(BytecodeCache):
    """Jinja2's bytecode cache over a private folder, with atomic writes and a size bound.

    Reading never fails a render: a missing, unreadable or corrupt entry is a miss,
    and the compile that follows writes the entry afresh. Writing is best effort
    for the same reason: a full disk or a read-only home only costs the compile.
    """

    def __init__(self, directory: str, max_bytes: int = MAX_BYTES) -> None:
        self.directory = directory
        self.max_bytes = max_bytes
        self._written = 0
        self._pruned_once = False
        self._lock = threading.Lock()

    def get_bucket(self, environment: jinja2.Environment, name: str, filename: str | None, source: str) -> Bucket:
        bucket = Bucket(environment, cache_key(environment, name, source), self.get_source_checksum(source))
        self.load_bytecode(bucket)
        return bucket

    def _path(self, bucket: Bucket) -> str:
        return os.path.join(self.directory, bucket.key + _SUFFIX)

    def _usable(self) -> bool:
        """Create the folder if needed; refuse one that others could write into,
        since its entries are code that this process runs."""
        try:
            os.makedirs(self.directory, mode=0o700, exist_ok=True)
            info = os.lstat(self.directory)
        except OSError:
            return False
        return (
            stat.S_ISDIR(info.st_mode)
            and info.st_uid == os.getuid()
            and not info.st_mode & (stat.S_IWGRP | stat.S_IWOTH)
        )

    def load_bytecode(self, bucket: Bucket) -> None:
        if not self._usable():
            return
        path = self._path(bucket)
        try:
            with open(path, "rb") as stream:
                data = stream.read()
        except OSError:
            return
        digest, payload = data[:_DIGEST_SIZE], data[_DIGEST_SIZE:]
        if _DIGEST(payload).digest() != digest:
            return
        try:
            bucket.bytecode_from_string(payload)
        except Exception:
            bucket.reset()
            return
        if bucket.code is not None:
            # Pruning keeps the entries most recently used, not most recently written.
            try:
                os.utime(path)
            except OSError:
                pass

    def dump_bytecode(self, bucket: Bucket) -> None:
        if not self._usable():
            return
        payload = bucket.bytecode_to_string()
        try:
            descriptor, temporary = tempfile.mkstemp(dir=self.directory, prefix=".", suffix=_TEMPORARY)
        except OSError:
            return
        try:
            with os.fdopen(descriptor, "wb") as stream:
                stream.write(_DIGEST(payload).digest())
                stream.write(payload)
            os.replace(temporary, self._path(bucket))
        except OSError:
            _remove(temporary)
            return
        except BaseException:
            _remove(temporary)
            raise
        with self._lock:
            self._written += len(payload)
            due = not self._pruned_once or self._written > self.max_bytes // 16
            if due:
                self._pruned_once, self._written = True, 0
        if due:
            self.prune()

    def prune(self) -> None:
        """Delete the least recently used entries beyond `max_bytes`, and stale temporaries."""
        entries: list[tuple[float, int, str]] = []
        now = time.time()
        try:
            with os.scandir(self.directory) as listing:
                for entry in listing:
                    try:
                        info = entry.stat(follow_symlinks=False)
                    except OSError:
                        continue
                    if entry.name.endswith(_SUFFIX):
                        entries.append((info.st_mtime, info.st_size, entry.path))
                    elif entry.name.endswith(_TEMPORARY) and now - info.st_mtime > _STALE_TEMPORARY_SECONDS:
                        _remove(entry.path)
        except OSError:
            return
        total = 0
        for _, size, path in sorted(entries, reverse=True):
            total += size
            if total > self.max_bytes:
                _remove(path)

    def clear(self) -> None:
        _clear(self.directory)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _clear(directory: str) -> int:
    try:
        names = os.listdir(directory)
    except OSError:
        return 0
    files = [name for name in names if name.endswith((_SUFFIX, _TEMPORARY))]
    for name in files:
        _remove(os.path.join(directory, name))
    return len(files)


_caches: dict[str, DiskBytecodeCache] = {}


def default_cache() -> DiskBytecodeCache | None:
    """The cache of the user's cache folder, or None when `TESSERINE_CACHE=off`."""
    if os.environ.get("TESSERINE_CACHE", "").strip().lower() == "off":
        return None
    directory = cache_directory()
    cache = _caches.get(directory)
    if cache is None:
        cache = _caches.setdefault(directory, DiskBytecodeCache(directory))
    return cache


def clear_cache() -> int:
    """Delete every compiled part in the user's cache folder; the number of files removed."""
    return _clear(cache_directory())


def compile_part(env: jinja2.Environment, part_name: str, source: str) -> jinja2.Template:
    """Compile one part's template source, through the environment's own bytecode
    cache if it has one, else through the user's cache folder.

    Jinja2 consults a bytecode cache only when it loads a template by name through a
    loader; this does the same steps for a source in hand, without giving templates
    a loader they could include other parts through. A syntax error passes through
    as Jinja2's `TemplateSyntaxError`.
    """
    cache = env.bytecode_cache if env.bytecode_cache is not None else default_cache()
    bucket = None if cache is None else cache.get_bucket(env, part_name, None, source)
    code = None if bucket is None else bucket.code
    if code is None:
        # Named as the file of its frames, so that a traceback points into the part.
        code = env.compile(source, filename=part_name)
        if cache is not None and bucket is not None:
            bucket.code = code
            cache.set_bucket(bucket)
    return env.template_class.from_code(env, code, env.make_globals(None), None)

