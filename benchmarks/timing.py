"""Timing and allocation measurements.

Every implementation of a case is a Python expression evaluated in its own
namespace, exactly as a user would write the call (`bitloom.decode_utf8(data)`,
`data.decode("utf-8")`).  timeit runs it in a compiled loop, so no wrapper
function call is added to either side; the loop's own overhead (a few ns) is
included for both.

The machine is shared, so a case's implementations are timed interleaved:
repeat r of every implementation runs before repeat r + 1 of any, and a burst
of load hits all of them alike.  The figure kept is the median of the
repeats.
"""

from __future__ import annotations

import statistics
import sys
import timeit
import tracemalloc
from dataclasses import dataclass


@dataclass(frozen=True)
class Settings:
    repeats: int = 15
    min_batch_seconds: float = 0.02  # one repeat runs the statement at least this long
    quick: bool = False  # a few iterations per implementation, no calibration


QUICK = Settings(repeats=1, min_batch_seconds=0.0, quick=True)


@dataclass
class Timing:
    median_ns: float
    spread: float  # (upper quartile - lower quartile) / median
    number: int  # statement runs per repeat


def _batch_size(timer: timeit.Timer, min_seconds: float) -> int:
    number = 1
    while True:
        if timer.timeit(number) >= min_seconds:
            return number
        number *= 2 if number < 8 else 3


def time_interleaved(statements: dict[str, tuple[str, dict]], settings: Settings) -> dict[str, Timing]:
    """Times each labelled (statement, namespace); returns ns/op per label."""
    timers = {label: timeit.Timer(stmt, globals=namespace)
              for label, (stmt, namespace) in statements.items()}
    if settings.quick:
        numbers = {label: 2 for label in timers}
    else:
        numbers = {label: _batch_size(timer, settings.min_batch_seconds)
                   for label, timer in timers.items()}
        for label, timer in timers.items():  # warm-up, discarded
            timer.timeit(numbers[label])
    samples: dict[str, list[float]] = {label: [] for label in timers}
    for _ in range(settings.repeats):
        for label, timer in timers.items():
            samples[label].append(timer.timeit(numbers[label]) / numbers[label] * 1e9)
    result = {}
    for label, values in samples.items():
        median = statistics.median(values)
        if len(values) >= 4:
            quartiles = statistics.quantiles(values, n=4)
            spread = (quartiles[2] - quartiles[0]) / median if median else 0.0
        else:
            spread = 0.0
        result[label] = Timing(median, spread, numbers[label])
    return result


def deep_size(value) -> int:
    """Bytes that a call's result holds and that the call made: the object
    and, for a dict, those of its keys and values that nothing else holds (a
    key that is the recipe item's own name string, or a small int, which the
    interpreter caches, was not allocated by the call)."""
    size = sys.getsizeof(value)
    if isinstance(value, dict):
        for key in value:
            item = value[key]
            # References: the dict, this loop's variable, getrefcount's argument.
            if sys.getrefcount(key) <= 3:
                size += sys.getsizeof(key)
            if sys.getrefcount(item) <= 3:
                size += sys.getsizeof(item)
    return size


@dataclass
class Allocation:
    result_bytes: int
    peak_bytes: int  # peak traced by tracemalloc during the call, above the level before it

    @property
    def extra_bytes(self) -> int:
        return self.peak_bytes - self.result_bytes


def traced_peak(stmt: str, namespace: dict) -> Allocation:
    """The peak of Python-heap allocations during one evaluation of `stmt`.

    tracemalloc sees the interpreter's allocators (every Python object,
    PyMem buffers); it does not see C++ operator new or std::vector storage,
    which the profile covers instead.
    """
    code = compile(stmt, "<benchmark>", "eval")
    eval(code, namespace)  # first call: lazily created caches are not the call's cost
    result, peak = _traced_eval(code, namespace)
    # What evaluating any expression under tracemalloc costs, `None` included.
    _, baseline = _traced_eval(compile("None", "<benchmark>", "eval"), {})
    return Allocation(deep_size(result), peak - baseline)


def _traced_eval(code, namespace):
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = eval(code, namespace)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return result, peak - before
