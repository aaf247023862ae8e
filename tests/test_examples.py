"""The examples run, and the telemetry frame reads back what it packed."""

import subprocess
import sys
from pathlib import Path

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
