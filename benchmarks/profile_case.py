"""Runs one benchmark case's call in a loop, for a profiler to watch.

    valgrind --tool=callgrind --callgrind-out-file=/tmp/case.out \\
        --toggle-collect='*bitloom*entry*' \\
        .venv/bin/python benchmarks/profile_case.py "decode_utf8 1 KiB mixed" 2000
    callgrind_annotate --inclusive=yes /tmp/case.out | head -40

(--toggle-collect limits the counts to the calls of bitloom's functions, from
the entry that receives the arguments to the result.)

`--peer LABEL` runs that peer's call instead of bitloom's.  To see bitloom's
own functions by name, build it with `-g` and put that build first on
PYTHONPATH (the installed module is stripped).
"""

from __future__ import annotations

import argparse
import sys

import cases


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("case", help="the case name, as in the table")
    parser.add_argument("calls", type=int, nargs="?", default=10000)
    parser.add_argument("--peer", help="run this peer's call instead of bitloom's")
    arguments = parser.parse_args(argv)

    # Importing the peers is most of a short run's cost; skip them unless asked for.
    peers = cases.Peers(set() if arguments.peer else {"bitstruct", "construct", "bitstring",
                                                      "numpy"})
    frame_cases, _ = cases.frame_cases(peers)
    by_name = {case.name: case
               for case in [*frame_cases, *cases.scalar_cases(peers), *cases.text_cases()]}
    case = by_name.get(arguments.case)
    if case is None:
        print(f"no case named {arguments.case!r}; cases:\n  " + "\n  ".join(by_name),
              file=sys.stderr)
        return 2
    impl = case.bitloom
    if arguments.peer:
        impl = next((peer for peer in case.peers if peer.label == arguments.peer), None)
        if impl is None:
            print(f"{case.name} has no peer {arguments.peer!r}", file=sys.stderr)
            return 2
    loop = compile(f"for _ in range({arguments.calls}):\n    {impl.stmt}\n", "<profile>", "exec")
    exec(loop, impl.namespace)
    return 0


if __name__ == "__main__":
    sys.exit(main())
