"""The results as a console table, as BENCHMARKS.md (the latest run and the
method) and as a bar chart of the bitloom/peer ratios."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from cases import Case, ScalingTarget
from timing import Allocation, Settings, Timing

# A call may allocate this much beyond its result objects (allocator
# rounding, a float or int freed within the call).
ALLOCATION_SLACK_BYTES = 64


@dataclass
class Row:
    case: Case
    peer: str
    bitloom_ns: float
    peer_ns: float
    target: float | None

    @property
    def ratio(self) -> float:
        return self.bitloom_ns / self.peer_ns

    @property
    def met(self) -> bool | None:
        return None if self.target is None else self.ratio <= self.target


@dataclass
class Results:
    cases: list[Case]
    timings: dict[str, dict[str, Timing]]  # case name -> implementation label -> timing
    allocations: dict[str, Allocation]  # case name -> bitloom's allocation
    scaling: list[ScalingTarget]
    missing_peers: list[str]
    mismatches: list[str]
    settings: Settings
    load_before: tuple[float, float, float]
    load_after: tuple[float, float, float]
    started: datetime.datetime

    def rows(self) -> list[Row]:
        rows = []
        for case in self.cases:
            timing = self.timings[case.name]
            for peer in case.peers:
                rows.append(Row(case, peer.label, timing["bitloom"].median_ns,
                                timing[peer.label].median_ns, case.targets.get(peer.label)))
        return rows

    def scaling_rows(self):
        for target in self.scaling:
            if target.large in self.timings and target.small in self.timings:
                ratio = (self.timings[target.large]["bitloom"].median_ns /
                         self.timings[target.small]["bitloom"].median_ns)
                yield target, ratio, ratio <= target.max_ratio

    def allocation_rows(self):
        for name, allocation in self.allocations.items():
            yield name, allocation, allocation.extra_bytes <= ALLOCATION_SLACK_BYTES


def target_family(row: Row) -> str:
    """The target of the brief that a row is held to, for the summary."""
    name = row.case.name
    if row.case.group == "compiled":
        return f"{name} vs {row.peer}"
    if row.case.group == "frame":
        return f"{name.split()[0]} 16-field frame vs {row.peer}"
    if row.case.group == "text":
        return "text at 16 B vs CPython" if " 16 B " in name else "text at 1 KiB and 1 MiB vs CPython"
    if "bcd" in name:
        return "packed BCD vs the string idiom"
    if "f16" in name:
        return "binary16 vs struct 'e'"
    if "ieee754" in name:
        return "binary32/64 vs struct"
    return "integer codecs vs struct"


def _verdict(met: bool | None) -> str:
    return "" if met is None else ("met" if met else "MISSED")


def _ns(value: float) -> str:
    if value >= 1e6:
        return f"{value / 1e6:,.2f} ms"
    if value >= 1e4:
        return f"{value / 1e3:,.1f} µs"
    return f"{value:,.1f} ns"


# ---- console ---------------------------------------------------------------

def console_table(results: Results) -> str:
    header = ("case", "bitloom", "peer", "peer ns/op", "ratio", "target", "")
    lines = []
    previous = None
    for row in results.rows():
        first = row.case.name != previous
        previous = row.case.name
        lines.append((row.case.name if first else "", _ns(row.bitloom_ns) if first else "",
                      row.peer, _ns(row.peer_ns), f"{row.ratio:.3f}x",
                      "" if row.target is None else f"<= {row.target:g}x", _verdict(row.met)))
    widths = [max(len(str(line[i])) for line in [header, *lines]) for i in range(len(header))]
    out = ["  ".join(str(cell).ljust(width) for cell, width in zip(line, widths)).rstrip()
           for line in [header, *lines]]
    for target, ratio, met in results.scaling_rows():
        out.append(f"{target.large} / {target.small}: {ratio:.2f}x (target <= "
                   f"{target.max_ratio:g}x) {_verdict(met)}")
    for name, allocation, met in results.allocation_rows():
        out.append(f"allocation {name}: peak {allocation.peak_bytes:,} B for a result of "
                   f"{allocation.result_bytes:,} B {_verdict(met)}")
    return "\n".join(out)


# ---- BENCHMARKS.md ---------------------------------------------------------

def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _version(module_name: str) -> str:
    from importlib import metadata
    try:
        return metadata.version(module_name)
    except metadata.PackageNotFoundError:
        return "not installed"


def _commit(repository: Path) -> str:
    try:
        return subprocess.run(["git", "-C", str(repository), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def _markdown_table(header, lines) -> list[str]:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(str(cell) for cell in line) + " |" for line in lines]
    return out


def generated_markdown(results: Results, repository: Path, chart_name: str | None) -> str:
    rows = results.rows()
    load_before = ", ".join(f"{value:.2f}" for value in results.load_before)
    load_after = ", ".join(f"{value:.2f}" for value in results.load_after)
    settings = results.settings
    out = [
        "## Machine and run",
        "",
        f"- Date: {results.started:%Y-%m-%d %H:%M} UTC",
        f"- Machine: {platform.machine()}, {platform.system()} {platform.release()}, "
        f"{os.cpu_count()} logical CPUs",
        f"- CPU: {_cpu_model()}",
        f"- Python: {platform.python_implementation()} {platform.python_version()} "
        f"({platform.python_compiler()})",
        f"- bitloom: {_version('bitloom')} at commit {_commit(repository)}",
        "- Peers: " + ", ".join(f"{name} {_version(name)}" for name in
                                ("bitstruct", "construct", "bitstring", "numpy")),
        f"- Load average (1, 5, 15 min) before the run: {load_before}; after: {load_after}",
        f"- Each implementation: one calibration, one warm-up repeat, then "
        f"{settings.repeats} timed repeats of at least {settings.min_batch_seconds * 1000:g} ms, "
        "interleaved with the other implementations of its case; the figure is the median "
        "ns per call, loop overhead included.",
    ]
    if results.missing_peers:
        out.append(f"- Not installed, left out: {', '.join(results.missing_peers)}")
    out += ["", "## Targets", ""]
    target_lines = [(row.case.name, row.peer, f"{row.ratio:.3f}x", f"<= {row.target:g}x",
                     _verdict(row.met)) for row in rows if row.target is not None]
    target_lines += [(f"{target.large} / {target.small}", "bitloom itself", f"{ratio:.2f}x",
                      f"<= {target.max_ratio:g}x", _verdict(met))
                     for target, ratio, met in results.scaling_rows()]
    target_lines += [(f"allocation of {name}", "its result objects",
                      f"{allocation.extra_bytes:+,} B",
                      f"<= {ALLOCATION_SLACK_BYTES:+} B", _verdict(met))
                     for name, allocation, met in results.allocation_rows()]
    met_count = sum(1 for line in target_lines if line[-1] == "met")
    out.append(f"{met_count} of {len(target_lines)} targets met.")
    out.append("")
    families: dict[str, list[bool]] = {}
    for row in rows:
        if row.target is not None:
            families.setdefault(target_family(row), []).append(bool(row.met))
    for target, _, met in results.scaling_rows():
        families.setdefault("256-field frame at most 17x the 16-field one", []).append(met)
    for _, _, met in results.allocation_rows():
        families.setdefault("no more allocated than the result objects", []).append(met)
    out += _markdown_table(("target", "met", "missed"),
                           [(family, sum(verdicts), len(verdicts) - sum(verdicts))
                            for family, verdicts in families.items()])
    out.append("")
    missed = [line for line in target_lines if line[-1] != "met"]
    if missed:
        out.append("Missed:")
        out.append("")
        out += _markdown_table(("case", "against", "measured", "target", ""), missed)
        out.append("")
    if chart_name:
        out += [f"![bitloom/peer ratios]({chart_name})", ""]
    for group, title in (("frame", "Recipes"), ("compiled", "Compiled recipes (bitloom.frames)"),
                         ("scalar", "Scalar codecs"), ("text", "Text")):
        group_rows = [row for row in rows if row.case.group == group]
        if not group_rows:
            continue
        out += ["", f"## {title}", ""]
        lines, previous = [], None
        for row in group_rows:
            first = row.case.name != previous
            previous = row.case.name
            timing = results.timings[row.case.name]
            name = row.case.name + (f" ({row.case.note})" if first and row.case.note else "")
            lines.append((name if first else "",
                          f"{row.bitloom_ns:,.0f}" if first else "",
                          row.peer, f"{row.peer_ns:,.0f}", f"{row.ratio:.3f}x",
                          "" if row.target is None else f"<= {row.target:g}x",
                          _verdict(row.met),
                          f"{timing['bitloom'].spread:.0%} / {timing[row.peer].spread:.0%}"))
        out += _markdown_table(("case", "bitloom ns/op", "peer", "peer ns/op", "bitloom/peer",
                                "target", "", "spread (IQR/median)"), lines)
    out += ["", "## Allocations", "",
            "Peak of the interpreter's heap (tracemalloc) during one call, above the level "
            "before it, against the size of the result objects (`sys.getsizeof`, plus keys "
            f"and values of a dict). Met when the peak exceeds the result by at most "
            f"{ALLOCATION_SLACK_BYTES} B. tracemalloc does not see C++ heap allocations; "
            "see the profile notes for those.", ""]
    out += _markdown_table(("case", "result B", "peak B", "extra B", ""),
                           [(name, f"{allocation.result_bytes:,}", f"{allocation.peak_bytes:,}",
                             f"{allocation.extra_bytes:,}", _verdict(met))
                            for name, allocation, met in results.allocation_rows()])
    if results.mismatches:
        out += ["", "## Why the unpack cases use the end-aligned frame", "",
                "bitloom's parser reads a field as the low bits of the whole bytes that hold "
                "it, which is what was packed only for fields that end on a byte boundary. "
                "Unpacking the contiguous 16-field frame (the one that is packed) reads these "
                "fields differently from the peers:", ""]
        out += [f"- {line}" for line in results.mismatches]
        out += ["", "So the unpack cases use the same sixteen fields, each moved forward to "
                "end on a byte boundary and given its \"offset_bits\" (the peers skip the "
                "gaps with padding); there bitloom and every peer read the same values."]
    return "\n".join(out)


PREAMBLE = """# Benchmarks

The figures of the latest `make bench` run, and how they are measured. This
file and `ratios.png` are written whole by `benchmarks/run.py` (`make bench`;
a run with `BENCH_ARGS="--filter utf8"` writes only the cases it ran), and
`benchmarks/dumps.py` and `benchmarks/streams.py` then add their sections at
the end (dumps into columns; packet streams against ccsdspy): the
earlier runs are in the history of this file in git, and what changed between
them in the commits' messages. Ratios are bitloom's median time over the peer's: below 1
bitloom is faster. Every peer call is checked once to return the same bytes or
values as bitloom's call before it is timed.
"""

METHOD = """## Method

Every case times bitloom and each of its peers in one process, interleaved
(see "Machine and run" for the repeats), so that a change of the machine's
load touches all of them alike; a ratio is comparable between runs, an
absolute time only on the same machine. Targets are ratios to a peer on the
same interpreter.

""" + """### How each peer does the same work

The harness checks, once per case and before any timing, that every peer
returns the same bytes or values as bitloom's call (after the conversion
named below); a case whose peer disagrees stops the run.

- Frames. The 16 fields (1 to 32 bits: unsigned, two's complement, one
  binary32, one 8-byte US-ASCII text, all big-endian) are written once in
  `benchmarks/frames.py` and turned into bitloom recipes, bitstruct formats,
  a construct `BitStruct` and bitstring format strings. The packed frame is
  contiguous (fields start and end inside bytes). The unpacked frame holds
  the same fields, each moved forward to end on a byte boundary and given its
  `"offset_bits"`; bitstruct, construct and bitstring skip the gaps as
  padding (see "Why the unpack cases use the end-aligned frame"). The 256-field
  frames are 16 copies of the 16-field ones.
- bitstruct: `bitstruct.c.pack(fmt, *values)` and `unpack_dict(fmt, names,
  data)` are the "plain C" calls that the targets use; `compile(fmt)` and
  `compile(fmt, names)` are shown as well, and the pure-Python module's calls.
  The text field is `t64` (UTF-8, the same bytes as US-ASCII here).
- "bitstruct.c glue" is the Python a user writes to feed bitstruct from the
  same list of dicts, on every call: the format is built from the items'
  `"encoding"`, `"bits"` and `"offset_bits"` and the values are gathered with
  a list comprehension (`frames.make_bitstruct_glue`). "glue, cached format"
  compiles the format once and only gathers the values per call; it has no
  target.
- construct: `BitsInteger` fields, `Bytewise(Float32b)`,
  `Bytewise(PaddedString(8, "ascii"))` and `Padding` for the gaps; `build`
  takes a dict of the values. `PaddedString` strips trailing NUL bytes when
  parsing; the label has none.
- bitstring has no text type: it is given the label as bytes and returns
  bytes (decoded only for the comparison, outside the timing), so it does a
  little less work than bitloom.
- The 64 KiB text field is one `"utf8"` item of mixed text; its peers are
  `str.encode`/`bytes.decode` and a one-field bitstruct format.
- Integer codecs: the target peer is the module-level `struct.pack(fmt, v)`
  and `struct.unpack(fmt, data)[0]` with the signed C type of the same width
  (`>b`, `>h`, `>i`, `>q`), like bitloom's call taking its width per call;
  pre-compiled `struct.Struct` methods and bitstruct's single-field calls are
  shown for reference. Struct results are compared as big-endian integers.
  Ones' complement and sign-magnitude use a non-negative value, the only
  values whose pattern equals struct's two's complement.
- binary16/32/64: `struct` with `>e`, `>f`, `>d`; numpy scalars for binary16.
- Packed BCD: `int(str(v), 16)` to encode and `int(f'{p:x}')` to decode.
- Text sizes count the encoded bytes in the case's own codec. "mixed" text
  for the Unicode forms holds one-, two-, three- and four-byte UTF-8
  characters (so CPython stores the str four bytes per character); for
  ISO-8859-1 it holds Latin-1 letters; for Windows-1252 it holds only
  characters on which WHATWG's table and CPython's cp1252 agree. The peers
  are `bytes.decode(codec)` and `str.encode(codec)` as users write them;
  CPython looks up codec names other than UTF-8, Latin-1 and ASCII in its
  codec registry, which costs it about 0.5 to 1 µs per call, so bitloom's
  small-input ratios against UTF-16, UTF-32 and cp1252 are low.

- Floors (`benchmarks/floors/floors.c`, compiled with the C compiler that
  built Python when the harness starts; left out where none works) are not
  peers but the least work any implementation must do in the interpreter:
  "one read of the recipe" walks every item dict once with `PyDict_Next`,
  matches each key by identity and reads "bits" and "value"; "the bytes" adds
  a zeroed bytes object of the packet's size; "the result" and "the result
  alone" make a fresh object equal to each result value and put them in a
  presized dict. For packed BCD, "a builtin returning a new int" is
  `operator.add(p - 1, 1)`: a builtin call whose whole work is one new int of
  the result's size, and "an extension function returning a new int" is
  `floors.new_int(v, 32)`, called from a module as bitloom's functions are:
  it checks that its two arguments are one-digit ints and returns a new int
  of their sum, nothing else. A target below its floor's ratio cannot be met
  by any code behind the same interface. The recipe floors read the dicts
  through the public API (`PyDict_Next`, `PyDict_SetItem`).
""" + """
### Profiles

`benchmarks/profile_case.py` runs one case's call in a loop for a profiler:
callgrind's instruction counts, which a shared machine does not disturb,
show where a case's time goes (its docstring has the commands).
"""


def markdown(results: Results, repository: Path, chart_name: str | None) -> str:
    """The whole of BENCHMARKS.md: the latest run, then the method."""
    return PREAMBLE + "\n" + generated_markdown(results, repository, chart_name) + "\n\n" + METHOD


def write_markdown(path: Path, text: str) -> None:
    path.write_text(text, encoding="utf-8")


def write_section(path: Path, heading: str, body: str) -> None:
    """Puts `heading` and `body` into the markdown file at `path`: in place of
    an earlier run's section (up to the next heading of its level), or at
    the end.  benchmarks/dumps.py and streams.py add their sections so."""
    text = path.read_text(encoding="utf-8") if path.exists() else ""
    level = heading.split(" ")[0] + " "
    before, found, after = text.partition("\n" + heading + "\n")
    rest = ""
    if found:
        following = [line for line in after.split("\n") if line.startswith(level)]
        rest = "\n" + after[after.index("\n" + following[0]) + 1:] if following else ""
    path.write_text(before.rstrip("\n") + "\n\n" + heading + "\n\n" + body.rstrip("\n") + "\n" + rest,
                    encoding="utf-8")


# ---- chart ----------------------------------------------------------------------

def write_chart(path: Path, results: Results) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    groups = [("frame", "Recipes"), ("compiled", "Compiled recipes"), ("scalar", "Scalar codecs"),
              ("text", "Text")]
    rows_by_group = {group: [row for row in results.rows() if row.case.group == group]
                     for group, _ in groups}
    tallest = max(len(rows) for rows in rows_by_group.values())
    figure, axes = plt.subplots(1, len(groups), figsize=(24, 2 + 0.17 * tallest),
                                layout="constrained")
    colours = {True: "#2a9d5c", False: "#d1495b", None: "#9aa5b1"}
    for axis, (group, title) in zip(axes, groups):
        rows = rows_by_group[group]
        labels = [f"{row.case.name} · {row.peer}" for row in rows]
        positions = range(len(rows))
        axis.barh(positions, [row.ratio for row in rows],
                  color=[colours[row.met] for row in rows])
        for position, row in zip(positions, rows):
            if row.target is not None:
                axis.plot([row.target, row.target], [position - 0.45, position + 0.45],
                          color="black", linewidth=1)
        axis.set_xscale("log")
        axis.axvline(1.0, color="black", linewidth=0.6, linestyle=":")
        axis.set_yticks(list(positions), labels, fontsize=6)
        axis.set_ylim(len(rows) - 0.5, -0.5)
        axis.set_title(title)
        axis.set_xlabel("bitloom time / peer time (log); black tick: target")
    figure.suptitle(f"bitloom / peer, medians, {results.started:%Y-%m-%d} "
                    "(green: target met, red: missed, grey: no target)")
    figure.savefig(path, dpi=90)
    plt.close(figure)
