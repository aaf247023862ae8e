"""The source distribution and the wheel: what they hold, and that the wheel
installs into a fresh virtual environment and works there.

The wheel is built from the source tree with the build directory that
`make test` has already filled, so that only the packaging steps run again.
"""

import json
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parent.parent


def build(kind, outdir):
    subprocess.run([sys.executable, "-m", "build", f"--{kind}", "--no-isolation",
                    "--skip-dependency-check", "--outdir", str(outdir), str(ROOT)],
                   check=True, capture_output=True, timeout=300)
    (artifact,) = outdir.glob("*.tar.gz" if kind == "sdist" else "*.whl")
    return artifact


def source_files():
    """The files a build needs: the build description, the sources, the
    package and what its metadata points at."""
    files = {"pyproject.toml", "CMakeLists.txt", "README.md"}
    for folder in ("src", "bitloom"):
        for path in (ROOT / folder).rglob("*"):
            if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".so":
                files.add(path.relative_to(ROOT).as_posix())
    return files


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    return build("wheel", tmp_path_factory.mktemp("wheel"))


def test_the_sdist_holds_everything_a_build_needs(tmp_path):
    sdist = build("sdist", tmp_path)
    with tarfile.open(sdist) as archive:
        top = sdist.name.removesuffix(".tar.gz")
        names = {name.removeprefix(top + "/") for name in archive.getnames()}
    assert source_files() <= names
    assert not any(name.startswith(("build/", ".venv/")) for name in names)


def test_the_wheel_holds_the_package_stubs_and_command(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        entry_points = next(archive.read(name).decode() for name in names
                            if name.endswith(".dist-info/entry_points.txt"))
    package = {name for name in names if name.startswith("bitloom/")}
    assert {"bitloom/__init__.py", "bitloom/__init__.pyi", "bitloom/py.typed", "bitloom/cli.py",
            "bitloom/__main__.py", "bitloom/_version.py"} <= package
    assert [name for name in package if name.startswith("bitloom/bitloom.")
            and name.endswith((".so", ".pyd"))]
    assert not any(name.startswith(("src/", "tests/")) for name in names)
    assert "bitloom = bitloom.cli:main" in entry_points


def test_the_wheel_installs_into_a_fresh_environment(wheel, tmp_path):
    environment = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(environment)], check=True,
                   timeout=120)
    python = environment / "bin" / "python"
    # This environment's pip installs into the new one.
    subprocess.run([sys.executable, "-m", "pip", "--python", str(python), "install", "--quiet",
                    "--no-deps", "--no-index", str(wheel)], check=True, capture_output=True,
                   timeout=120)
    probe = ("import bitloom, json; print(json.dumps([bitloom.__file__, len(bitloom.__all__), "
             "bitloom.encode_twos_complement(-5, 8)]))")
    result = subprocess.run([str(python), "-c", probe], cwd=tmp_path, check=True,
                            capture_output=True, text=True, timeout=60)
    location, count, pattern = json.loads(result.stdout)
    assert Path(location).is_relative_to(environment)
    assert (count, pattern) == (62, 0xFB)
    recipe = [{"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big",
               "reverse_bits": False, "value": 171}]
    result = subprocess.run([str(environment / "bin" / "bitloom"), "pack", "-"], cwd=tmp_path,
                            input=json.dumps(recipe), check=True, capture_output=True, text=True,
                            timeout=60)
    assert result.stdout == "ab\n"
