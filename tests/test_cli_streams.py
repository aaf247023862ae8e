"""The command on packet streams: unpack --output-dir writes each key's
packets to a file of its own, split writes each key's raw packets."""

import csv
import io
import json
import subprocess
import sys

import pytest

from bitloom.frames import ccsds


def field(name, bits, **extra):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big", "reverse_bits": False,
            **extra}


BODIES = {100: [field("volts", 16), field("mode", 8)],
          101: [field("code", 32, byte_order="little")]}
DEFINITION = {"header": "ccsds", "codecs": {str(key): body for key, body in BODIES.items()}}


def run(tmp_path, *arguments):
    return subprocess.run([sys.executable, "-m", "bitloom", *map(str, arguments)], cwd=tmp_path,
                          capture_output=True, timeout=120)


def make_stream(count=40):
    codecs = {key: ccsds.packet_codec(body) for key, body in BODIES.items()}
    packets = []
    for sequence in range(count):
        apid = (100, 101, 0x7FF)[sequence % 3]
        codec = codecs.get(apid) or ccsds.packet_codec([field("x", 8)])
        values = {"volts": sequence * 10, "mode": sequence % 4, "code": sequence * 1000, "x": 1}
        packets.append(codec.pack({"type": 0, "secondary_header": 0, "apid": apid, "sequence_count": sequence,
                                   "packet_length": codec.size - 7,
                                   **{item["name"]: values[item["name"]] for item in
                                      BODIES.get(apid, [field("x", 8)])}}))
    return b"".join(packets), codecs


@pytest.fixture
def stream_files(tmp_path):
    data, codecs = make_stream()
    (tmp_path / "stream.json").write_text(json.dumps(DEFINITION))
    (tmp_path / "stream.bin").write_bytes(data)
    return tmp_path, data, codecs


@pytest.mark.parametrize("form", ["csv", "jsonl"])
def test_unpack_writes_one_file_per_key(stream_files, form):
    tmp_path, data, codecs = stream_files
    done = run(tmp_path, "unpack", "stream.json", "stream.bin", "--output-dir", "out", "--format", form)
    assert done.returncode == 0, done.stderr
    expected = ccsds.stream(codecs).unpack_many(data)
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == [f"100.{form}", f"101.{form}"]
    for key, frames in expected.items():
        text = (tmp_path / "out" / f"{key}.{form}").read_text()
        if form == "csv":
            rows = list(csv.DictReader(io.StringIO(text)))
        else:
            rows = [json.loads(line) for line in text.splitlines()]
        for name, column in frames.items():
            assert [int(row[name]) for row in rows] == column.tolist()


def test_unpack_writes_parquet_per_key(stream_files):
    pyarrow_parquet = pytest.importorskip("pyarrow.parquet")
    tmp_path, data, codecs = stream_files
    done = run(tmp_path, "unpack", "stream.json", "stream.bin", "--output-dir", "out", "--format", "parquet")
    assert done.returncode == 0, done.stderr
    expected = ccsds.stream(codecs).unpack_many(data)
    for key, frames in expected.items():
        table = pyarrow_parquet.read_table(tmp_path / "out" / f"{key}.parquet")
        assert table.column("sequence_count").to_pylist() == frames["sequence_count"].tolist()


def test_split_writes_each_keys_packets_like_ccsdspy(stream_files):
    tmp_path, data, _ = stream_files
    done = run(tmp_path, "split", "stream.json", "stream.bin", "--output-dir", "parts")
    assert done.returncode == 0, done.stderr
    written = {int(path.stem): path.read_bytes() for path in (tmp_path / "parts").iterdir()}
    assert written == ccsds.stream({}).split(data)
    utils = pytest.importorskip("ccsdspy.utils")
    assert written == {apid: part.read() for apid, part in utils.split_by_apid(io.BytesIO(data)).items()}


@pytest.mark.parametrize("command, definition, data, status, message", [
    ("unpack", DEFINITION, "0800", 1, "0800: a partial packet header of 2 bytes at byte offset 0"),
    ("split", DEFINITION, "08", 1, "08: a partial packet header of 1 bytes at byte offset 0"),
    ("unpack", [field("a", 8)], "00", 2, "a stream definition is a JSON object"),
    ("split", {"header": "ccsds", "codecs": {"1": [field("a", 8, encoding="nope")]}}, "00", 2,
     "stream.json: the codec of key 1: recipe item 7 ('a'): Unsupported encoding type: nope"),
])
def test_bad_streams_and_definitions(tmp_path, command, definition, data, status, message):
    (tmp_path / "stream.json").write_text(json.dumps(definition))
    done = run(tmp_path, command, "stream.json", data, "--output-dir", "out")
    assert done.returncode == status
    assert message in done.stderr.decode()
