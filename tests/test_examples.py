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


@pytest.fixture(scope="module")
def cluster():
    """A local Dask cluster of two worker processes, as the example starts."""
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("dask.dataframe")
    pytest.importorskip("pyarrow")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as local:
        yield local


def test_an_archive_decodes_on_a_cluster_into_parquet(tmp_path, cluster):
    import distributed
    import pyarrow
    import pyarrow.parquet

    from bitloom.frames import FrameCodec

    example = load_example("archive_dask.py")
    folder = tmp_path / "dumps"
    folder.mkdir()
    example.write_demo_archive(folder, files=3, frames=700)
    (folder / "empty.bin").write_bytes(b"")
    files = sorted(str(path) for path in folder.iterdir())
    codec = FrameCodec(example.DEMO_RECIPE, text_padding="strip")
    expected = pyarrow.concat_tables(pyarrow.table(codec.unpack_many(Path(path).read_bytes()))
                                     for path in files)
    with distributed.Client(cluster) as client:
        frame = example.archive_frame(codec, files)
        assert frame.npartitions == len(files)
        # Arrow-backed all the way: uint16 stays uint16, text stays Arrow text.
        assert str(frame.dtypes["apid"]) == "uint16[pyarrow]"
        with distributed.get_task_stream(client) as stream:
            frame.to_parquet(str(tmp_path / "parquet"), write_index=False)
        # Every partition was decoded, and its Parquet file written, by a
        # worker process.
        ran_on = {str(task["key"]): task["worker"] for task in stream.data}
        for step in ("decode_file", "toparquetdata"):
            workers = [worker for key, worker in ran_on.items() if step in key]
            assert len(workers) == len(files), step
            assert set(workers) <= set(client.scheduler_info()["workers"]), step
        written = pyarrow.parquet.read_table(tmp_path / "parquet")
        assert written.num_rows == 2100
        assert written.select(codec.names).equals(expected)
        assert frame["status"].compute().tolist() == expected["status"].to_pylist()


def test_the_archive_example_runs_on_a_cluster(tmp_path, cluster, capsys):
    example = load_example("archive_dask.py")
    assert example.main(["--address", cluster.scheduler_address,
                         "--parquet", str(tmp_path / "out")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "4 files, 20000 frames of 19 bytes"
    assert "apid         uint16   min 0  max 2047" in lines
    assert lines[-1] == "status       text     'OK' 19793, 'WARN' 207"
    assert len(list((tmp_path / "out").glob("*.parquet"))) == 4
