"""Writes the ```pycon examples of README.md and docs/*.md as Python modules,
one per document (its blocks in order, as tests/test_docs.py runs them), so
that the type checkers read what a user would copy.

    python scripts/doc_examples.py OUTDIR

An example whose expected output is a TypeError shows a call that the types
refuse too; it is written commented out.  A block that needs modules which
do not import here (see tests/test_docs.py) is left out; where such a block
is checked, pyright is not asked for the types of those libraries' results.
"""

import doctest
import importlib.util
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.S | re.M)
# A block after "<!-- requires: numpy pandas -->" is checked where those
# import, as tests/test_docs.py runs it.
REQUIRES = re.compile(r"<!-- requires: ([\w ]+) -->\n$")
REFUSED = re.compile(r"^Traceback \(most recent call last\):\n(?:.*\n)*?TypeError\b", re.M)


def module_text(path: Path) -> str:
    text = path.read_text(encoding="utf-8")
    parser = doctest.DocTestParser()
    # An expression on its own shows its value at the prompt.
    lines = [f'"""The examples of {path.relative_to(ROOT)}, for the type checkers."""',
             "# pyright: reportUnusedExpression=false", ""]
    third_party = False
    for match in BLOCK.finditer(text):
        line = text.count("\n", 0, match.start(1)) + 1
        needs = REQUIRES.search(text, 0, match.start())
        if needs and not all(importlib.util.find_spec(name) for name in needs.group(1).split()):
            lines.append(f"# {path.name}:{line}: left out, it needs {needs.group(1)}")
            continue
        if needs:
            third_party = True
        for example in parser.get_examples(match.group(1)):
            source = example.source.rstrip("\n").split("\n")
            lines.append(f"# {path.name}:{line + example.lineno}")
            if REFUSED.match(example.want):
                lines += [f"# refused: {s}" for s in source]
            else:
                lines += source
    if third_party:
        # Libraries such as pandas and pyarrow ship no types: pyright cannot
        # know what their calls return, which says nothing about bitloom's.
        lines.insert(2, "# pyright: reportMissingTypeStubs=false, reportUnknownMemberType=false, "
                        "reportUnknownVariableType=false, reportUnknownArgumentType=false")
    return "\n".join(lines) + "\n"


def main() -> None:
    outdir = Path(sys.argv[1])
    outdir.mkdir(parents=True, exist_ok=True)
    for old in outdir.glob("*.py"):
        old.unlink()
    for path in DOCUMENTS:
        name = "readme" if path.name == "README.md" else "docs_" + path.stem.replace("-", "_")
        if BLOCK.search(path.read_text(encoding="utf-8")):
            (outdir / f"{name}.py").write_text(module_text(path), encoding="utf-8")


if __name__ == "__main__":
    main()
