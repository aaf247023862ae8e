"""The examples run, and the telemetry frame reads back what it packed."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def run_example(name, tmp_path):
    # From an empty directory, so that the installed package is imported.
    result = subprocess.run([sys.executable, str(ROOT / "examples" / name)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


def test_demo_runs(tmp_path):
    output = run_example("demo.py", tmp_path)
    assert "0xFB" in output


def test_telemetry_frame_reads_back_what_it_packed(tmp_path):
    output = run_example("telemetry_frame.py", tmp_path)
    lines = output.splitlines()
    assert lines[0] == ("frame (27 bytes): 09 a5 c4 d2 00 14 20 24 05 17 12 30 45 fb 1e 47 09 4f "
                        "13 4e 4f 4d 49 4e 41 4c 00")
    table = lines[lines.index("") + 1:]
    table = table[:table.index("(the header is parsed as the three 16-bit words that hold its "
                               "fields, then split)")]
    assert table[0].split() == ["field", "encoding", "bits", "packed", "parsed"]
    rows = {}
    for line in table[1:]:
        # Columns are separated by at least two blanks.
        cells = [cell.strip() for cell in line.split("  ") if cell.strip()]
        rows[cells[0]] = cells
    assert len(rows) == 12
    for name, (_, _, _, packed, parsed, *note) in rows.items():
        assert packed == parsed or note, name
    assert rows["bus_voltage"][3:] == ["28.3", "28.296875", "binary16 keeps 11 significant bits"]
    assert rows["status"][3:] == ["'NOMINAL'", "'NOMINAL\\x00'", "fixed-length text keeps its padding"]


def load_example(name):
    spec = importlib.util.spec_from_file_location(name.removesuffix(".py"), ROOT / "examples" / name)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("scheduler", ["processes", "threads"])
def test_an_archive_decodes_in_parallel_with_dask(tmp_path, scheduler):
    pytest.importorskip("dask.bag")
    numpy = pytest.importorskip("numpy")
    from bitloom.frames import FrameCodec

    example = load_example("archive_dask.py")
    example.write_demo_archive(tmp_path, files=3, frames=700)
    (tmp_path / "empty.bin").write_bytes(b"")
    files = sorted(str(path) for path in tmp_path.iterdir())
    codec = FrameCodec(example.DEMO_RECIPE)
    # Worker processes get the codec by pickling.
    columns = example.decode_archive(codec, files, scheduler)
    expected = [codec.unpack_many(Path(path).read_bytes()) for path in files]
    assert list(columns) == list(codec.names)
    for name, values in columns.items():
        assert list(values) == [value for part in expected for value in part[name]], name
    assert columns["volts"].dtype == numpy.float32 and len(columns["status"]) == 2100


def test_the_archive_example_runs_on_its_demo(tmp_path):
    pytest.importorskip("dask.bag")
    output = run_example("archive_dask.py", tmp_path)
    assert output.splitlines()[0] == "4 files, 20000 frames of 19 bytes"
