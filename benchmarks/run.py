"""Times bitloom against its peers and reports the ratios.

    python benchmarks/run.py            # full run: table, BENCHMARKS.md, ratios.png
    python benchmarks/run.py --quick    # a few calls per case, no files written
    python benchmarks/run.py --filter 'utf8|frame'

Run it from outside the repository root (or as above, by path): the
repository's `bitloom/` directory would otherwise shadow the installed
package.
"""

from __future__ import annotations

import argparse
import datetime
import os
import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

import cases  # noqa: E402  (the harness's own modules live next to this file)
import frame_codec  # noqa: E402
import report  # noqa: E402
import timing  # noqa: E402


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="two calls per implementation, no files written")
    parser.add_argument("--filter", default="",
                        help="only the cases whose name matches this regular expression")
    parser.add_argument("--without", default="",
                        help="comma-separated peer modules to leave out as if not installed")
    parser.add_argument("--repeats", type=int, default=timing.Settings.repeats)
    parser.add_argument("--min-batch-ms", type=float,
                        default=timing.Settings.min_batch_seconds * 1000)
    parser.add_argument("--output-dir", type=Path, default=HERE,
                        help="where BENCHMARKS.md and ratios.png go (default: benchmarks/)")
    parser.add_argument("--no-write", action="store_true", help="print the table only")
    return parser.parse_args(argv)


def main(argv=None) -> int:
    arguments = parse_arguments(argv)
    settings = (timing.QUICK if arguments.quick else
                timing.Settings(arguments.repeats, arguments.min_batch_ms / 1000))
    started = datetime.datetime.now(datetime.UTC)
    load_before = os.getloadavg()

    peers = cases.Peers({name.strip() for name in arguments.without.split(",") if name.strip()})
    frame_cases, scaling = cases.frame_cases(peers)
    all_cases = [*frame_cases, *frame_codec.frame_codec_cases(peers, arguments.quick),
                 *cases.scalar_cases(peers), *cases.text_cases()]
    if arguments.filter:
        pattern = re.compile(arguments.filter)
        all_cases = [case for case in all_cases if pattern.search(case.name)]
    if peers.missing:
        print(f"peers not installed, left out: {', '.join(peers.missing)}", file=sys.stderr)

    timings, allocations = {}, {}
    for number, case in enumerate(all_cases, 1):
        case.verify()
        if not arguments.quick:
            print(f"[{number}/{len(all_cases)}] {case.name}", file=sys.stderr, flush=True)
        timings[case.name] = timing.time_interleaved(
            {impl.label: (impl.stmt, impl.namespace) for impl in case.impls()}, settings)
        if case.check_allocation:
            allocations[case.name] = timing.traced_peak(case.bitloom.stmt,
                                                        case.bitloom.namespace)

    results = report.Results(all_cases, timings, allocations, scaling, peers.missing,
                             cases.contiguous_unpack_mismatches(), settings, load_before,
                             os.getloadavg(), started)
    print(report.console_table(results))
    if arguments.quick or arguments.no_write:
        return 0
    output_dir = arguments.output_dir
    output_dir.mkdir(parents=True, exist_ok=True)
    chart = output_dir / "ratios.png"
    report.write_chart(chart, results)
    report.write_markdown(output_dir / "BENCHMARKS.md",
                          report.markdown(results, HERE.parent, chart.name))
    print(f"wrote {output_dir / 'BENCHMARKS.md'} and {chart}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
