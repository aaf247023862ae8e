"""The examples in README.md and docs/*.md are run, so that what the
documentation shows is what bitloom does.  Each ```pycon block is a doctest;
the blocks of one file share their names, in order."""

import doctest
import importlib.util
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.S | re.M)
# A block after "<!-- requires: numpy pandas -->" runs where those import.
REQUIRES = re.compile(r"<!-- requires: ([\w ]+) -->\n$")


def test_every_document_is_checked():
    names = {path.name for path in DOCUMENTS}
    assert {"README.md", "reference.md", "recipes.md", "errors.md"} <= names


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda path: path.name)
def test_examples_in_the_documentation_hold(path):
    text = path.read_text(encoding="utf-8")
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    names = {}
    for match in BLOCK.finditer(text):
        needs = REQUIRES.search(text, 0, match.start())
        if needs and not all(importlib.util.find_spec(name) for name in needs.group(1).split()):
            continue
        line = text.count("\n", 0, match.start(1))
        test = parser.get_doctest(match.group(1), names, path.name, str(path), line)
        runner.run(test, clear_globs=False)
        names = test.globs
    assert runner.failures == 0, f"{runner.failures} example(s) in {path.name} failed; see above"
