"""The template environments: Jinja2's sandbox, bounded, and its trusted counterpart.

`SafeEnvironment` is Jinja2's `SandboxedEnvironment` (attribute and call checks, format
strings included) with three additions:

- an attribute the sandbox refuses, and a missing name of Python internals, raise at once
  instead of becoming an undefined value that prints as nothing;
- the operations that can build a huge value from a short expression (`*`, `**`, `%`, `+`,
  `~`, widths and fill counts of string methods and filters) estimate the size of their
  result first and refuse past the render's `max_output_size`;
- loops and calls check the render's deadline as they go.

`TrustedEnvironment` is a plain `Environment` that keeps only the deadline checks. Both
print values through `value_finalizer` (text exactly as given, rich values as markers)
and have the filters that tags in run and paragraph positions use.
"""

from __future__ import annotations

import re
import string
from collections.abc import Callable, Iterable, Iterator, Mapping, Sized
from functools import update_wrapper
from itertools import chain
from typing import Any

import jinja2
from jinja2 import nodes
from jinja2.compiler import CodeGenerator, Frame, optimizeconst
from jinja2.exceptions import SecurityError, TemplateRuntimeError, UndefinedError
from jinja2.runtime import Context, markup_join, str_join
from jinja2.sandbox import SandboxedEnvironment
from jinja2.utils import generate_lorem_ipsum, missing
from markupsafe import soft_str

from ._deadline import current
from .values.filters import FILTERS, value_finalizer

# Python refuses to print an int of more than 4,300 digits anyway; a million bits takes a
# template nothing and keeps `**` and `*` from running for minutes inside one expression.
_MAX_INTEGER_BITS = 1 << 20

# Loops check the deadline on entry and then every so many items.
_CHECK_EVERY = 1024

# Lorem ipsum words are at most this long, with their space.
_LOREM_WORD = 16


class Refused(Exception):
    """An operation would build a value larger than the render may produce."""


def bound(size: int, what: str) -> None:
    limit = current().max_output
    if size > limit:
        raise Refused(f"{what} would build {size:,} characters or items, more than the"
                      f" {limit:,} a part may produce (max_output_size)")


def weight(value: Any, seen: dict[int, int] | None = None, depth: int = 16) -> int:
    """A bound on the characters (or items) that printing value produces.

    Containers count each element as often as it appears, so that one long string held
    many times over is counted as it would print; shared containers are measured once.
    """
    if isinstance(value, str):
        return len(value)
    items: Iterable[Any]
    if isinstance(value, Mapping):
        items = chain.from_iterable(value.items())
    elif isinstance(value, (list, tuple, set, frozenset)):
        items = value
    else:
        return 0
    seen = {} if seen is None else seen
    key = id(value)
    if key in seen:
        return seen[key]
    if depth == 0:
        return len(value)
    seen[key] = len(value)  # a container inside itself prints as [...]
    total = len(value) + sum(weight(item, seen, depth - 1) for item in items)
    seen[key] = total
    return total


def _int(value: Any) -> int:
    return value if isinstance(value, int) else 0


_PERCENT_DIRECTIVE = re.compile(r"%%|%(?:\(([^)]*)\))?[-#0 +]*(\*|\d+)?(?:\.(\*|\d+))?")


def percent_size(text: str, args: Any) -> int:
    """A bound on the length of text % args."""
    size = len(text)
    named = isinstance(args, Mapping)
    star = False
    for directive in _PERCENT_DIRECTIVE.finditer(text):
        if directive.group() == "%%":
            continue
        name, width, precision = directive.groups()
        for number in (width, precision):
            if number == "*":
                star = True
            elif number:
                size += int(number)
        if named and name is not None:
            size += weight(args.get(name))
    if not named:
        values = args if isinstance(args, tuple) else (args,)
        size += sum(weight(value) for value in values)
        if star:
            size += sum(_int(value) for value in values)
    return size


def format_size(text: str, args: tuple[Any, ...], kwargs: Mapping[str, Any]) -> int:
    """A bound on the length of text.format(*args, **kwargs)."""
    values = [*args, *kwargs.values()]
    largest = max(map(weight, values), default=0)
    size = len(text)
    for _, field, format_part, _ in string.Formatter().parse(text):
        if field is None:
            continue
        size += largest + sum(int(number) for number in re.findall(r"\d+", format_part or ""))
        if format_part and "{" in format_part:
            # A width taken from the arguments: count every integer among them.
            size += sum(_int(value) for value in values)
    return size


def _replaced_size(text: Any, old: Any, new: Any, count: Any = None) -> int:
    text, old, new = soft_str(text), soft_str(old), soft_str(new)
    hits = text.count(old) if old else len(text) + 1
    if isinstance(count, int) and count >= 0:
        hits = min(hits, count)
    return len(text) + hits * max(0, len(new) - len(old))


def _indented_size(value: Any, width: Any = 4, *flags: Any, **options: Any) -> int:
    text = soft_str(value)
    return len(text) + (text.count("\n") + 1) * (len(width) if isinstance(width, str) else _int(width))


def _wrapped_size(value: Any, width: Any = 79, *flags: Any, **options: Any) -> int:
    text = soft_str(value)
    joiner = options.get("wrapstring") or (flags[1] if len(flags) > 1 and flags[1] else "\n")
    lines = len(text) // max(1, _int(width)) + text.count("\n") + 1
    return len(text) + lines * len(soft_str(joiner))


def _joined_size(separator: Any, items: Any) -> int:
    if not isinstance(items, (list, tuple)):
        return 0
    return weight(items) + len(soft_str(separator)) * max(0, len(items) - 1)


def _check_product(left: Any, right: Any) -> None:
    if isinstance(left, int) and isinstance(right, int):
        if left.bit_length() + right.bit_length() > _MAX_INTEGER_BITS:
            raise Refused(f"the '*' operator would build an integer of more than {_MAX_INTEGER_BITS:,} bits")
        return
    if isinstance(right, (str, list, tuple)):
        left, right = right, left
    if isinstance(left, (str, list, tuple)) and isinstance(right, int):
        bound(weight(left) * right, "the '*' operator")


def _check_power(base: Any, exponent: Any) -> None:
    if isinstance(base, int) and isinstance(exponent, int) and exponent > 0 and abs(base) > 1:
        if base.bit_length() * exponent > _MAX_INTEGER_BITS:
            raise Refused(f"the '**' operator would build an integer of more than {_MAX_INTEGER_BITS:,} bits")


# What a string method would build, from its arguments.
_STR_METHODS: dict[str, Callable[..., int]] = {
    "center": lambda text, width, *fill: _int(width),
    "ljust": lambda text, width, *fill: _int(width),
    "rjust": lambda text, width, *fill: _int(width),
    "zfill": lambda text, width: _int(width),
    "expandtabs": lambda text, tabsize=8: len(text) + text.count("\t") * _int(tabsize),
    "replace": _replaced_size,
    "join": _joined_size,
}

# What a filter would build, from its arguments (without the context Jinja passes first).
_FILTERS: dict[str, Callable[..., int]] = {
    "center": lambda value, width=80: _int(width),
    "indent": _indented_size,
    "wordwrap": _wrapped_size,
    "format": lambda value, *args, **kwargs: percent_size(soft_str(value), kwargs or args),
    "replace": _replaced_size,
    "join": lambda value, d="", attribute=None: 0 if attribute is not None else _joined_size(d, value),
    "batch": lambda value, linecount, fill_with=None: _int(linecount),
    "slice": lambda value, slices, fill_with=None: _int(slices),
    "tojson": lambda value, *options: weight(value),
    "pprint": weight,
    "string": weight,
}

# Arguments that these take as a whole, so that an iterator is measured and then used.
_MATERIALISED = frozenset({"join"})


def _estimate(estimator: Callable[..., int], args: tuple[Any, ...], kwargs: dict[str, Any]) -> int:
    try:
        return estimator(*args, **kwargs)
    except (TypeError, ValueError, AttributeError):
        # Arguments the real call refuses: let it say so in its own words.
        return 0


def _materialise(args: tuple[Any, ...]) -> tuple[Any, ...]:
    if args and not isinstance(args[0], (list, tuple, str)):
        try:
            return (list(args[0]), *args[1:])
        except TypeError:
            return args
    return args


def _bounded_filter(name: str, original: Callable[..., Any]) -> Callable[..., Any]:
    estimator = _FILTERS[name]
    skip = 1 if getattr(original, "jinja_pass_arg", None) is not None else 0

    def bounded(*args: Any, **kwargs: Any) -> Any:
        if name in _MATERIALISED:
            args = (*args[:skip], *_materialise(args[skip:]))
        bound(_estimate(estimator, args[skip:], kwargs), f"the {name!r} filter")
        return original(*args, **kwargs)

    # Keeps the marker that tells Jinja which context to pass first.
    return update_wrapper(bounded, original)


def _lipsum(n: int = 5, html: bool = True, min: int = 20, max: int = 100) -> str:
    bound(_int(n) * _int(max) * _LOREM_WORD, "'lipsum'")
    return generate_lorem_ipsum(n, html, min, max)


def _timed(iterable: Iterable[Any]) -> Iterator[Any]:
    budget = current()
    for index, item in enumerate(iterable):
        if not index % _CHECK_EVERY:
            budget.check()
        yield item


class _DeadlineCodeGenerator(CodeGenerator):
    """Compiles every `{% for %}` to iterate through the environment's `timed_iter`, so that
    loops that write nothing and call nothing still see the deadline."""

    def visit_For(self, node: nodes.For, frame: Frame) -> None:
        node.iter = nodes.Call(nodes.EnvironmentAttribute("timed_iter"), [node.iter], [], None, None,
                               lineno=node.iter.lineno)
        super().visit_For(node, frame)


class _SandboxCodeGenerator(_DeadlineCodeGenerator):
    """Also compiles `~` to a join that measures its operands before building the text."""

    @optimizeconst
    def visit_Concat(self, node: nodes.Concat, frame: Frame) -> None:
        escaping = "context.eval_ctx.autoescape" if frame.eval_ctx.volatile else repr(bool(frame.eval_ctx.autoescape))
        self.write("environment.bounded_concat((")
        for operand in node.nodes:
            self.visit(operand, frame)
            self.write(", ")
        self.write(f"), {escaping})")


def timed_iter(iterable: Any) -> Any:
    """The iterable of a loop, checking the deadline now and every `_CHECK_EVERY` items."""
    current().check()
    if isinstance(iterable, Sized) and len(iterable) < _CHECK_EVERY:
        return iterable
    return _timed(iterable)


class TrustedEnvironment(jinja2.Environment):
    """A plain Environment with deadline checks in loops; templates are not restricted."""

    code_generator_class = _DeadlineCodeGenerator

    def __init__(self, **options: Any) -> None:
        super().__init__(finalize=value_finalizer(str), **options)
        self.filters.update(FILTERS)

    timed_iter = staticmethod(timed_iter)


def _bounded_str(value: Any) -> str:
    if isinstance(value, (list, tuple, set, frozenset, Mapping)):
        bound(weight(value), "printing a list or mapping")
    return str(value)


# Names of Python internals that templates probe for; some exist only in older Pythons.
_INTERNAL_NAMES = frozenset({
    "mro", "func_globals", "func_code", "func_closure", "im_func", "im_self", "im_class",
    "gi_frame", "gi_code", "cr_frame", "cr_code", "ag_frame", "ag_code", "f_globals", "f_locals",
    "f_builtins", "f_back", "tb_frame",
})


class _GuardedUndefined(jinja2.Undefined):
    """An undefined value; looking up a missing name of Python internals is an escape
    attempt, refused at once rather than printed as nothing."""

    __slots__ = ()

    def __init__(self, hint: str | None = None, obj: Any = missing, name: str | None = None,
                 exc: type[TemplateRuntimeError] = UndefinedError) -> None:
        if isinstance(name, str) and (name.startswith("_") or name in _INTERNAL_NAMES):
            raise SecurityError(f"{name!r} is not available to templates")
        super().__init__(hint, obj, name, exc)


class SafeEnvironment(SandboxedEnvironment):
    """Jinja2's sandbox, with sizes bounded and the deadline checked (see the module)."""

    code_generator_class = _SandboxCodeGenerator
    intercepted_binops = frozenset({"*", "**", "%", "+"})

    def __init__(self, **options: Any) -> None:
        super().__init__(finalize=value_finalizer(_bounded_str), undefined=_GuardedUndefined, **options)
        for name in _FILTERS:
            self.filters[name] = _bounded_filter(name, self.filters[name])
        self.filters.update(FILTERS)
        self.globals["lipsum"] = _lipsum

    timed_iter = staticmethod(timed_iter)

    def unsafe_undefined(self, obj: Any, attribute: str) -> jinja2.Undefined:
        raise SecurityError(f"access to attribute {attribute!r} of {type(obj).__name__!r} object is unsafe")

    def call_binop(self, context: Context, operator: str, left: Any, right: Any) -> Any:
        if operator == "*":
            _check_product(left, right)
        elif operator == "**":
            _check_power(left, right)
        elif operator == "%" and isinstance(left, str):
            bound(_estimate(percent_size, (left, right), {}), "the '%' operator")
        elif operator == "+" and isinstance(left, (str, list, tuple)) and isinstance(right, (str, list, tuple)):
            bound(len(left) + len(right), "the '+' operator")
        return super().call_binop(context, operator, left, right)

    def bounded_concat(self, operands: tuple[Any, ...], escaping: bool) -> str:
        texts = [soft_str(operand) for operand in operands]
        bound(sum(map(len, texts)), "the '~' operator")
        return markup_join(texts) if escaping else str_join(texts)

    def wrap_str_format(self, value: Any) -> Callable[..., str] | None:
        wrapped = super().wrap_str_format(value)
        if wrapped is None:
            return None
        text: str = value.__self__
        mapping = value.__name__ == "format_map"

        def bounded(*args: Any, **kwargs: Any) -> str:
            if mapping and len(args) == 1 and isinstance(args[0], Mapping):
                size = _estimate(format_size, (text, (), args[0]), {})
            else:
                size = _estimate(format_size, (text, args, kwargs), {})
            bound(size, f"the {value.__name__!r} method")
            return wrapped(*args, **kwargs)

        return update_wrapper(bounded, wrapped)

    def call(self, context: Context, obj: Any, /, *args: Any, **kwargs: Any) -> Any:
        current().check()
        owner = getattr(obj, "__self__", None)
        if isinstance(owner, str):
            name = getattr(obj, "__name__", "")
            estimator = _STR_METHODS.get(name)
            if estimator is not None:
                if name in _MATERIALISED:
                    args = _materialise(args)
                bound(_estimate(estimator, (owner, *args), kwargs), f"the {name!r} method")
        elif isinstance(owner, list) and getattr(obj, "__name__", "") == "extend" and args:
            bound(len(owner) + (len(args[0]) if isinstance(args[0], Sized) else 0), "the 'extend' method")
        return super().call(context, obj, *args, **kwargs)
