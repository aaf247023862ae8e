"""The source tree's layers: every #include points down (or sideways within
a layer), and the layers without the interpreter never name its headers.
The build enforces the second rule too (bitloom_pure is compiled without
Python's include path); this catches a wrong-way include between the upper
layers, which share that path."""

import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
LAYERS = ["core", "codecs", "recipe", "frames", "python", "engine", "module", "frames_module"]
PURE = {"core", "codecs", "recipe", "frames"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp"))


def layer_of(path: Path) -> str:
    return path.relative_to(SRC).parts[0]


def test_every_source_lies_in_a_layer():
    assert {layer_of(p) for p in sources()} <= set(LAYERS)


@pytest.mark.parametrize("source", sources(), ids=lambda p: str(p.relative_to(SRC)))
def test_includes_point_down(source):
    own = LAYERS.index(layer_of(source))
    for kind, name in INCLUDE.findall(source.read_text()):
        if kind == '"':
            assert (SRC / name).exists(), f"{name} is not a source of the tree"
            assert LAYERS.index(name.split("/")[0]) <= own, f"{source.name} includes {name}"
        elif layer_of(source) in PURE:
            assert not name.startswith("Python"), f"{source.name} includes <{name}>"
