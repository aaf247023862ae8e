"""The benchmark harness keeps working: one quick pass over every case.

Nothing here is timed against anything. The quick pass runs each call a couple
of times, checks that bitloom and every installed peer produce the same bytes
or values, and writes no file.
"""

import subprocess
import sys
from pathlib import Path

HARNESS = Path(__file__).resolve().parents[1] / "benchmarks" / "run.py"
PEER_MODULES = "bitstruct,construct,bitstring,numpy"


def run_quick(directory, *options):
    # A fresh interpreter: tracemalloc and timeit must not see pytest's state.
    done = subprocess.run([sys.executable, str(HARNESS), "--quick", *options], cwd=directory,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    return done


def test_quick_pass_with_the_installed_peers(tmp_path):
    done = run_quick(tmp_path)
    for case in ("pack 16-field frame", "unpack 256-field frame", "decode_ieee754_f16",
                 "encode_packed_bcd 32-bit", "decode_windows_1252 1 MiB mixed"):
        assert case in done.stdout
    assert "allocation unpack 16-field frame" in done.stdout
    assert list(tmp_path.iterdir()) == []


def test_quick_pass_without_the_optional_peers(tmp_path):
    done = run_quick(tmp_path, "--without", PEER_MODULES)
    assert "peers not installed, left out: bitstruct, bitstruct.c, construct, bitstring, numpy" \
        in done.stderr
    # The standard library's peers are always there.
    assert "struct.pack" in done.stdout
    assert "bytes.decode utf-8" in done.stdout
    assert "bitstruct" not in done.stdout
    assert list(tmp_path.iterdir()) == []


def test_quick_pass_of_the_packet_streams(tmp_path):
    # The stream benchmark checks ccsdspy's values against bitloom's before
    # timing: a quick pass runs those checks on small streams.
    import importlib.util
    script = HARNESS.parent / "streams.py"
    done = subprocess.run([sys.executable, str(script), "--quick"], cwd=tmp_path, capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "stream vs FrameCodec.unpack_many:" in done.stdout
    if importlib.util.find_spec("ccsdspy"):
        assert "vs ccsdspy split_by_apid + load per APID:" in done.stdout
        assert "vs ccsdspy VariableLength.load:" in done.stdout
    assert list(tmp_path.iterdir()) == []
