"""The bitloom command, run as a separate process."""

import csv
import io
import json
import os
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest


def field(name, encoding, bits, value=None, byte_order="big", **extra):
    entry = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
             "reverse_bits": False, **extra}
    if value is not None:
        entry["value"] = value
    return entry


# A 7-byte frame: counter, temperature, status text.
RECIPE = [
    field("counter", "unsigned", 8, 5),
    field("temp", "twos_complement", 16, -40),
    field("status", "us-ascii", 32, "OK"),
]
FRAME = bytes.fromhex("05ffd8") + b"OK\0\0"
# Each frame's values as the command writes them: text without its padding.
FRAMES = [
    ({"counter": 5, "temp": -40, "status": "OK"}, FRAME),
    ({"counter": 6, "temp": 300, "status": "WARN"}, bytes.fromhex("06012c") + b"WARN"),
    ({"counter": 7, "temp": -1, "status": ""}, bytes.fromhex("07ffff") + bytes(4)),
]


def run(tmp_path, *arguments, stdin=b"", stderr=subprocess.PIPE):
    # Run from an empty directory so that the source tree cannot shadow the
    # installed package.
    return subprocess.run([sys.executable, "-m", "bitloom", *map(str, arguments)],
                          cwd=tmp_path, input=stdin, stdout=subprocess.PIPE, stderr=stderr,
                          timeout=60)


def write(tmp_path, name, content):
    path = tmp_path / name
    if isinstance(content, (bytes, bytearray)):
        path.write_bytes(content)
    else:
        path.write_text(content if isinstance(content, str) else json.dumps(content))
    return path


def test_pack_reads_stdin_and_writes_hex(tmp_path):
    result = run(tmp_path, "pack", "-", stdin=json.dumps(RECIPE).encode())
    assert result.returncode == 0, result.stderr
    assert result.stdout == FRAME.hex().encode() + b"\n"
    assert result.stderr == b""


def test_pack_writes_raw_bytes_to_a_file(tmp_path):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    result = run(tmp_path, "pack", recipe, "--output", tmp_path / "frame.bin")
    assert result.returncode == 0, result.stderr
    assert result.stdout == b""
    assert (tmp_path / "frame.bin").read_bytes() == FRAME


@pytest.mark.parametrize("spelling", [FRAME.hex(), FRAME.hex().upper(), "0x" + FRAME.hex(),
                                      " ".join(f"{b:02x}" for b in FRAME),
                                      ":".join(f"{b:02X}" for b in FRAME)])
def test_unpack_reads_hex_from_the_command_line(tmp_path, spelling):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    result = run(tmp_path, "unpack", recipe, spelling)
    assert result.returncode == 0, result.stderr
    assert [json.loads(line) for line in result.stdout.splitlines()] == [FRAMES[0][0]]


def test_unpack_reads_a_file_and_honours_offset_bits(tmp_path):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    packet = write(tmp_path, "packet.bin", b"\xee\xee" + FRAME)
    result = run(tmp_path, "unpack", recipe, packet, "--offset-bits", 16)
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == FRAMES[0][0]


@pytest.mark.parametrize("source", ["file", "stdin", "hex"])
def test_unpack_splits_a_dump_into_frames_as_json_lines(tmp_path, source):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    dump = b"".join(frame for _, frame in FRAMES)
    argument = {"file": write(tmp_path, "dump.bin", dump), "stdin": "-", "hex": dump.hex()}[source]
    result = run(tmp_path, "unpack", recipe, argument, "--frame-bytes", 7,
                 stdin=dump if source == "stdin" else b"")
    assert result.returncode == 0, result.stderr
    assert [json.loads(line) for line in result.stdout.decode().splitlines()] == [
        fields for fields, _ in FRAMES]


def test_unpack_writes_csv_with_a_header(tmp_path):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    dump = write(tmp_path, "dump.bin", b"".join(frame for _, frame in FRAMES))
    result = run(tmp_path, "unpack", recipe, dump, "--frame-bytes", 7, "--format", "csv")
    assert result.returncode == 0, result.stderr
    rows = list(csv.reader(io.StringIO(result.stdout.decode(), newline="")))
    assert rows[0] == ["counter", "temp", "status"]
    assert rows[1:] == [[str(v) for v in fields.values()] for fields, _ in FRAMES]


def test_floats_are_written_exactly(tmp_path):
    recipe = write(tmp_path, "recipe.json", [field("x", "ieee754_f64", 64)])
    value = 0.1 + 0.2
    packet = struct.pack(">d", value)
    for fmt, parse in [("jsonl", lambda out: json.loads(out)["x"]),
                       ("csv", lambda out: float(out.splitlines()[1]))]:
        result = run(tmp_path, "unpack", recipe, packet.hex(), "--format", fmt)
        assert parse(result.stdout.decode()) == value


def test_one_recipe_packs_and_unpacks(tmp_path):
    recipe = write(tmp_path, "recipe.json", [
        field("id", "unsigned", 16, 0xBEEF, byte_order="little"),
        field("stamp", "packed_bcd", 32, 20240517),
        field("volts", "ieee754", 16, 27.5),
        field("name", "utf-8", 48, "h\u00e9llo"),
        field("raw", "binary", 12, [10, 188]),
    ])
    packed = run(tmp_path, "pack", recipe)
    assert packed.returncode == 0, packed.stderr
    result = run(tmp_path, "unpack", recipe, packed.stdout.decode().strip())
    assert json.loads(result.stdout) == {"id": 0xBEEF, "stamp": 20240517, "volts": 27.5,
                                         "name": "h\u00e9llo", "raw": [10, 188]}
    result = run(tmp_path, "unpack", recipe, packed.stdout.decode().strip(), "--format", "csv")
    assert result.stdout.decode().splitlines()[1] == "48879,20240517,27.5,h\u00e9llo,0abc"


def test_fields_inside_bytes_come_out_exact(tmp_path):
    # A CCSDS primary header: no field but the last ends on a byte boundary.
    header = [field("version", "unsigned", 3), field("type", "unsigned", 1),
              field("secondary", "unsigned", 1), field("apid", "unsigned", 11),
              field("flags", "unsigned", 2), field("sequence", "unsigned", 14),
              field("length", "unsigned", 16)]
    values = [{"version": n % 8, "type": n % 2, "secondary": 1, "apid": 0x7FF - n, "flags": 3,
               "sequence": 16383 - n, "length": n} for n in range(50)]
    dump = b"".join(bytes.fromhex(run(tmp_path, "pack", "-", stdin=json.dumps(
        [{**item, "value": frame[item["name"]]} for item in header]).encode()).stdout.decode())
        for frame in values[:3])
    recipe = write(tmp_path, "header.json", header)
    result = run(tmp_path, "unpack", recipe, dump.hex(), "--frame-bytes", 6)
    assert [json.loads(line) for line in result.stdout.splitlines()] == values[:3]


TRICKY_TEXTS = ["plain", "a,b", 'say "hi"', "two\nlines", "cr\r", "", "100%", "h\u00e9 \U0001f600",
                "\0\0"]


@pytest.mark.parametrize("names", [["text"], ["n", "text", "x"]])
def test_lines_are_written_as_json_and_csv_write_them(names):
    from bitloom import cli
    from bitloom.frames import FrameCodec

    recipe = {"n": field("n", "twos_complement", 8), "x": field("x", "ieee754", 64),
              "text": field("text", "utf8", 96)}
    codec = FrameCodec([recipe[name] for name in names])
    floats = [0.1, float("nan"), float("inf"), -float("inf"), 1e300, -0.0, 5e-324, 2.5, 1.0]
    frames = [{"n": -n, "x": floats[n], "text": text} for n, text in enumerate(TRICKY_TEXTS)]
    dump = codec.pack_many([{name: frame[name] for name in names} for frame in frames])
    columns = codec.unpack_many(dump)
    rows = [codec.unpack(dump, 8 * codec.size * n) for n in range(len(frames))]
    for writer_type, expected in ((cli.JsonLinesWriter, "".join(
            json.dumps(row, ensure_ascii=False) + "\n" for row in rows)), (cli.CsvWriter, None)):
        out = io.StringIO()
        writer = writer_type(out, codec.names)
        writer.start()
        writer.write(columns, len(frames))
        if expected is None:
            reference = io.StringIO()
            csv_writer = csv.writer(reference, lineterminator="\n")
            csv_writer.writerow(codec.names)
            csv_writer.writerows(row.values() for row in rows)
            expected = reference.getvalue()
        assert out.getvalue() == expected


BAD_BCD_FRAME = bytes.fromhex("07FFFF") + bytes(4)

# (files to create, arguments, exit status, lines written before the error, the error line):
# status 2 for usage errors (the command line, the recipe, the framing), 1 for data errors.
ERRORS = [
    ({}, ["pack", "missing.json"], 2, 0,
     "bitloom: error: cannot read missing.json: No such file or directory"),
    ({"r.json": "[{"}, ["pack", "r.json"], 2, 0,
     "bitloom: error: r.json: not valid JSON: Expecting property name enclosed in double quotes: "
     "line 1 column 3 (char 2)"),
    ({"r.json": {"name": "x"}}, ["pack", "r.json"], 2, 0,
     "bitloom: error: r.json: a recipe is a JSON array of items, not an object"),
    ({"r.json": [RECIPE[0], 5]}, ["pack", "r.json"], 2, 0,
     "bitloom: error: r.json: recipe item 1: a recipe item is a JSON object, not a number"),
    ({"r.json": [RECIPE[0], field("temp", "twos_complement", 8, 300)]}, ["pack", "r.json"], 2, 0,
     "bitloom: error: r.json: recipe item 1 ('temp'): Value 300 out of range for 8 bits "
     "(range: -128 to 127)"),
    ({"r.json": [RECIPE[0], field("temp", "twos_complement", 8)]}, ["pack", "r.json"], 2, 0,
     "bitloom: error: field 'temp': no value given, and its recipe item has no \"value\""),
    ({"r.json": RECIPE}, ["pack", "r.json", "--output", "no/such/dir/out.bin"], 1, 0,
     "bitloom: error: cannot write no/such/dir/out.bin: No such file or directory"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "nofile.bin"], 1, 0,
     "bitloom: error: cannot read nofile.bin: No such file or directory, nor hexadecimal digits"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "05ffd"], 1, 0,
     "bitloom: error: INPUT: odd number of hexadecimal digits (5)"),
    ({"r.json": RECIPE}, ["unpack", "-", "-"], 2, 0,
     "bitloom: error: RECIPE.json and INPUT cannot both be standard input"),
    # One packet too short for the recipe.
    ({"r.json": RECIPE}, ["unpack", "r.json", "05ffd84f4b00"], 1, 0,
     "bitloom: error: field 'status': needs 7 bytes (bits 24 to 55 after offset_bits 0), but "
     "the buffer has 6"),
    # A dump: the frames before the failing one are written.
    ({"r.json": RECIPE, "d.bin": FRAME * 2 + FRAME[:3]},
     ["unpack", "r.json", "d.bin", "--frame-bytes", "7"], 1, 2,
     "bitloom: error: frame 2 (byte 14): short frame: 3 of 7 bytes"),
    ({"r.json": [field("counter", "unsigned", 8), field("temp", "packed_bcd", 16),
                 field("status", "us-ascii", 32)],
      "d.bin": bytes.fromhex("05001200000000") + BAD_BCD_FRAME + FRAME},
     ["unpack", "r.json", "d.bin", "--frame-bytes", "7", "--format", "csv"], 1, 2,  # header, frame 0
     "bitloom: error: frame 1 (byte 7): field 'temp': Invalid BCD digit: 15 (must be 0-9)"),
    ({"r.json": [field("x", "nope", 8)]}, ["unpack", "r.json", "00"], 2, 0,
     "bitloom: error: r.json: recipe item 0 ('x'): Unsupported encoding type: nope"),
    # The recipe is checked before any data: an empty dump, or none at all.
    ({"r.json": [field("x", "nope", 8)]}, ["unpack", "r.json", "-", "--frame-bytes", "7"], 2, 0,
     "bitloom: error: r.json: recipe item 0 ('x'): Unsupported encoding type: nope"),
    ({"r.json": [field("x", "unsigned", 8), field("x", "unsigned", 8)]},
     ["unpack", "r.json", "missing.bin"], 2, 0,
     "bitloom: error: r.json: recipe item 1 ('x'): duplicate name 'x' (also recipe item 0)"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "-", "--frame-bytes", "5"], 2, 0,
     "bitloom: error: --frame-bytes: frames of 5 bytes cannot hold the fields: they end at bit 56 of the codec, "
     "after offset_bits 0"),
    ({"r.json": [field("s", "us-ascii", 16, "abc")]}, ["pack", "r.json"], 2, 0,
     "bitloom: error: r.json: recipe item 0 ('s'): Text of 3 bytes does not fit in 16 bits"),
    # Option values too large for their type are named.
    ({"r.json": RECIPE}, ["unpack", "r.json", "00", "--frame-bytes", str(10**30)], 2, 0,
     "bitloom: error: unpack: argument --frame-bytes: must be at most 9223372036854775807: "
     "1000000000000000000000000000000"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "00", "--offset-bits", str(2**64)], 2, 0,
     "bitloom: error: unpack: argument --offset-bits: must be at most 18446744073709551615: "
     "18446744073709551616"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "00", "--offset-bits", "x" * 100], 2, 0,
     "bitloom: error: unpack: argument --offset-bits: not an integer: "
     "'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx'"),
    # A frame of 2**62 bytes is not read whole: the input ends in its first.
    ({"r.json": RECIPE, "d.bin": FRAME * 3}, ["unpack", "r.json", "d.bin", "--frame-bytes",
                                               str(2**62)], 1, 0,
     "bitloom: error: frame 0 (byte 0): short frame: 21 of 4611686018427387904 bytes"),
    # One packet, and the input goes on: never the first packet alone.
    ({"r.json": RECIPE, "d.bin": FRAME * 3}, ["unpack", "r.json", "d.bin"], 2, 0,
     "bitloom: error: INPUT d.bin: more than one packet of 7 bytes; pass --frame-bytes N to "
     "decode a dump of frames of N bytes"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "/dev/zero"], 2, 0,
     "bitloom: error: INPUT /dev/zero: more than one packet of 7 bytes; pass --frame-bytes N to "
     "decode a dump of frames of N bytes"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "/dev/zero", "--offset-bits", "20"], 2, 0,
     "bitloom: error: INPUT /dev/zero: more than one packet of 10 bytes; pass --frame-bytes N to "
     "decode a dump of frames of N bytes"),
    # A packet larger than a batch keeps only its fields' bytes.
    ({"r.json": RECIPE, "d.bin": bytes(3 << 20) + FRAME}, ["unpack", "r.json", "d.bin",
                                                          "--offset-bits", str(8 * (3 << 20))], 0, 1,
     None),
    ({"r.json": RECIPE, "d.bin": FRAME}, ["unpack", "r.json", "d.bin",
                                          "--offset-bits", str(2**64 - 1)], 1, 0,
     "bitloom: error: INPUT d.bin: short packet: 7 of 2305843009213693959 bytes"),
    # A packet too large for memory.
    pytest.param({"r.json": [field("a", "unsigned", 8, 1, offset_bits=2**62)]}, ["pack", "r.json"],
                 1, 0, "bitloom: error: out of memory for a packet of 576460752303423489 bytes",
                 marks=pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                                          reason="the sanitizer's allocator aborts instead")),
    # layout compiles the recipe as unpack does.
    ({"r.json": [field("x", "nope", 8)]}, ["layout", "r.json"], 2, 0,
     "bitloom: error: r.json: recipe item 0 ('x'): Unsupported encoding type: nope"),
    ({"r.json": [field("a", "binary", 2**32 - 1, offset_bits=0),
                 field("b", "binary", 2**32 - 1, offset_bits=0)]}, ["layout", "r.json"], 2, 0,
     "bitloom: error: r.json: recipe item 1 ('b'): bits 0 to 4294967294 overlap recipe item 0 "
     "('a') (bits 0 to 4294967294)"),
    # Usage errors are one line too.
    ({"r.json": RECIPE}, ["unpack", "r.json", "00", "--frame-bytes", "0"], 2, 0,
     "bitloom: error: unpack: argument --frame-bytes: must be at least 1: 0"),
    ({"r.json": RECIPE}, ["unpack", "r.json", "00", "--format", "xml"], 2, 0,
     "bitloom: error: unpack: argument --format: invalid choice: 'xml' (choose from jsonl, csv, "
     "parquet, arrow)"),
    ({}, ["frobnicate"], 2, 0,
     "bitloom: error: argument COMMAND: invalid choice: 'frobnicate' (choose from pack, unpack, "
     "split, layout)"),
]


@pytest.mark.parametrize("files, arguments, status, lines_before, message", ERRORS)
def test_every_failure_is_one_line_and_a_status(tmp_path, files, arguments, status, lines_before,
                                                 message):
    for name, content in files.items():
        write(tmp_path, name, content)
    result = run(tmp_path, *arguments, stdin=b"")
    assert result.returncode == status
    stderr = result.stderr.decode()
    if "(choose from " in stderr:  # quoted by newer versions of argparse
        start = stderr.index("(choose from ")
        stderr = stderr[:start] + stderr[start:].replace("'", "")
    assert stderr == ("" if message is None else message + "\n")
    assert len(result.stdout.splitlines()) == lines_before


def test_an_empty_dump_has_no_frames(tmp_path):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    result = run(tmp_path, "unpack", recipe, "-", "--frame-bytes", 7)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    result = run(tmp_path, "unpack", recipe, "-", "--frame-bytes", 7, "--format", "csv")
    assert (result.returncode, result.stdout) == (0, b"counter,temp,status\n")


@pytest.mark.parametrize("offset_bits", [0, 8 * 1000 + 3])
def test_frames_larger_than_a_batch_keep_only_their_fields(tmp_path, offset_bits):
    frame_bytes = 3 << 20
    frames = [values for values, _ in FRAMES]
    dump = b""
    for _, frame in FRAMES:
        shifted = (int.from_bytes(frame, "big") << (frame_bytes * 8 - 56 - offset_bits))
        dump += shifted.to_bytes(frame_bytes, "big")
    write(tmp_path, "r.json", RECIPE)
    write(tmp_path, "d.bin", dump + bytes(5))
    result = run(tmp_path, "unpack", "r.json", "d.bin", "--frame-bytes", frame_bytes,
                 "--offset-bits", offset_bits)
    assert [json.loads(line) for line in result.stdout.splitlines()] == frames
    assert (result.returncode, result.stderr.decode()) == (
        1, f"bitloom: error: frame 3 (byte {3 * frame_bytes}): short frame: 5 of {frame_bytes} "
           "bytes\n")


def test_bare_bitloom_lists_its_commands(tmp_path):
    result = run(tmp_path)
    assert result.returncode == 2 and result.stderr == b""
    for command in (b"pack", b"unpack", b"layout"):
        assert b"\n    " + command + b" " in result.stdout


@pytest.mark.parametrize("arguments, lines", [
    (["unpack", "e.json", "00" * 3, "--frame-bytes", "1"], ["{}"] * 3),
    (["unpack", "e.json", "00" * 4, "--frame-bytes", "2", "--format", "csv"], [""] * 3),
    (["unpack", "e.json", "empty.bin"], ["{}"]),
])
def test_a_recipe_without_fields_writes_a_line_per_packet(tmp_path, arguments, lines):
    write(tmp_path, "e.json", [])
    write(tmp_path, "empty.bin", b"")
    result = run(tmp_path, *arguments)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode().split("\n")[:-1] == lines


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("arguments", [["unpack", "r.json", FRAME.hex()], ["pack", "r.json"],
                                       ["layout", "r.json"],
                                       ["unpack", "r.json", "d.bin", "--frame-bytes", "7"]])
def test_a_full_or_closed_output_is_one_line(tmp_path, arguments):
    write(tmp_path, "r.json", RECIPE)
    write(tmp_path, "d.bin", FRAME * 50000)
    with open("/dev/full", "wb") as full:
        result = subprocess.run([sys.executable, "-m", "bitloom", *arguments], cwd=tmp_path,
                                stdout=full, stderr=subprocess.PIPE, timeout=60)
    assert (result.returncode, result.stderr) == (
        1, b"bitloom: error: cannot write standard output: No space left on device\n")
    command = " ".join([sys.executable, "-m", "bitloom", *arguments])
    result = subprocess.run(["sh", "-c", f"exec {command} >&-"], cwd=tmp_path,
                            stderr=subprocess.PIPE, timeout=60)
    assert (result.returncode, result.stderr) == (2, b"bitloom: error: standard output is closed\n")


def run_with_terminal_stderr(tmp_path, arguments, stdin_path=None):
    """Runs the command with standard error on a pseudo-terminal and returns
    (status, standard output, what the terminal showed)."""
    pty = pytest.importorskip("pty")
    controller, terminal = pty.openpty()
    try:
        stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
        process = subprocess.Popen([sys.executable, "-m", "bitloom", *map(str, arguments)],
                                   cwd=tmp_path, stdin=stdin,
                                   stdout=subprocess.PIPE, stderr=terminal)
        if stdin_path:
            stdin.close()
        os.close(terminal)
        stdout = process.stdout.read()
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal has no writer left
                break
            if not chunk:
                break
            shown += chunk
        return process.wait(timeout=60), stdout, shown.decode()
    finally:
        os.close(controller)


def test_long_dumps_show_progress_on_a_terminal_only(tmp_path):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    dump = write(tmp_path, "dump.bin", FRAME * 1200)
    status, stdout, shown = run_with_terminal_stderr(
        tmp_path, ["unpack", recipe, dump, "--frame-bytes", 7])
    assert status == 0
    assert len(stdout.splitlines()) == 1200
    assert "bitloom: frame 1200 of 1200 (100%)" in shown
    # The line erases itself at the end.
    assert shown.endswith("\r")
    # Not on a pipe, and not for short inputs.
    piped = run(tmp_path, "unpack", recipe, dump, "--frame-bytes", 7)
    assert piped.returncode == 0 and piped.stderr == b""
    short = write(tmp_path, "short.bin", FRAME * 10)
    status, stdout, shown = run_with_terminal_stderr(
        tmp_path, ["unpack", recipe, short, "--frame-bytes", 7])
    assert (status, len(stdout.splitlines()), shown) == (0, 10, "")


def test_a_dump_of_unknown_length_shows_progress_once_it_is_long(tmp_path):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    long = write(tmp_path, "long.bin", FRAME * 1200)
    status, stdout, shown = run_with_terminal_stderr(
        tmp_path, ["unpack", recipe, "-", "--frame-bytes", 7], stdin_path=long)
    assert (status, len(stdout.splitlines())) == (0, 1200)
    # No total is known: the count alone, from the 1000th frame on.
    assert shown.startswith("\rbitloom: frame 1200, ") and "frames/s" in shown
    assert " left" not in shown and "%" not in shown
    short = write(tmp_path, "short.bin", FRAME * 10)
    status, stdout, shown = run_with_terminal_stderr(
        tmp_path, ["unpack", recipe, "-", "--frame-bytes", 7], stdin_path=short)
    assert (status, len(stdout.splitlines()), shown) == (0, 10, "")


def test_a_closed_output_pipe_ends_quietly(tmp_path):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    dump = write(tmp_path, "dump.bin", FRAME * 20000)
    process = subprocess.Popen([sys.executable, "-m", "bitloom", "unpack", recipe, dump,
                                "--frame-bytes", "7"], cwd=tmp_path, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()
    stderr = process.stderr.read()
    assert process.wait(timeout=60) == 1
    assert stderr == b""


def test_the_console_script_is_installed():
    script = shutil.which("bitloom", path=str(Path(sys.executable).parent))
    assert script is not None
    result = subprocess.run([script, "--version"], capture_output=True, timeout=60)
    assert result.returncode == 0
    assert result.stdout.startswith(b"bitloom ")


# Text padding: stripped by default, kept on request, in every text format.
@pytest.mark.parametrize("arguments, expected", [
    ([], '{"counter": 5, "temp": -40, "status": "OK"}\n'),
    (["--text-padding", "keep"], '{"counter": 5, "temp": -40, "status": "OK\\u0000\\u0000"}\n'),
    (["--format", "csv"], "counter,temp,status\n5,-40,OK\n"),
    (["--format", "csv", "--text-padding", "keep"], "counter,temp,status\n5,-40,OK\0\0\n"),
    (["--frame-bytes", "7", "--format", "csv", "--text-padding", "strip"],
     "counter,temp,status\n5,-40,OK\n"),
])
def test_text_padding_is_stripped_unless_kept(tmp_path, arguments, expected):
    write(tmp_path, "r.json", RECIPE)
    result = run(tmp_path, "unpack", "r.json", FRAME.hex(), *arguments)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == expected


def recipe_with_every_column_type():
    # Unsigned, signed, float, BCD, text and raw bytes, fields inside bytes.
    return [field("apid", "unsigned", 11), field("flag", "unsigned", 1),
            field("temp", "twos_complement", 12), field("big", "unsigned", 64),
            field("volts", "ieee754", 16), field("stamp", "packed_bcd", 16),
            field("status", "us-ascii", 32), field("raw", "binary", 16)]


def dump_of(codec, frames, bad_frame=None):
    import random
    rows = random.Random(5)
    columns = {"apid": [rows.randrange(2048) for _ in range(frames)],
               "flag": [n % 2 for n in range(frames)],
               "temp": [rows.randrange(-2048, 2048) for _ in range(frames)],
               "big": [2**64 - 1 - n for n in range(frames)],
               "volts": [n / 8 for n in range(frames)],
               "stamp": [n % 10000 for n in range(frames)],
               "status": [("OK", "WARN", "", "SAFE")[n % 4] for n in range(frames)],
               "raw": [bytes([n % 256, 7]) for n in range(frames)]}
    dump = bytearray(codec.pack_many(columns))
    if bad_frame is not None:
        dump[bad_frame * codec.size + 13] = 0xFF  # the BCD stamp's first digit
    return bytes(dump)


def read_columnar(fmt, path):
    pyarrow = pytest.importorskip("pyarrow")
    if fmt == "parquet":
        import pyarrow.parquet
        return pyarrow.parquet.read_table(path)
    import pyarrow.ipc
    with pyarrow.ipc.open_file(pyarrow.memory_map(str(path))) as reader:
        return reader.read_all()


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
@pytest.mark.parametrize("destination", ["--output", "stdout", "-o -"])
def test_parquet_and_arrow_hold_what_unpack_many_returns(tmp_path, fmt, destination):
    pyarrow = pytest.importorskip("pyarrow")
    from bitloom.frames import FrameCodec

    codec = FrameCodec(recipe_with_every_column_type(), text_padding="strip")
    # Frames padded to 40,000 bytes: about a hundred a batch, so the file
    # has several row groups or record batches.
    frame_bytes, frames = 40_000, 230
    dump = b"".join(frame.ljust(frame_bytes, b"\0") for frame in
                    (dump_of(codec, frames)[n * codec.size:(n + 1) * codec.size]
                     for n in range(frames)))
    write(tmp_path, "r.json", recipe_with_every_column_type())
    write(tmp_path, "d.bin", dump)
    out = tmp_path / f"out.{fmt}"
    arguments = ["unpack", "r.json", "d.bin", "--frame-bytes", frame_bytes, "--format", fmt]
    if destination == "--output":
        result = run(tmp_path, *arguments, "--output", out)
        assert result.stdout == b""
    else:
        result = run(tmp_path, *arguments, *destination.split()[:2] if destination != "stdout" else ())
        out.write_bytes(result.stdout)
        assert not (tmp_path / "-").exists()
    assert (result.returncode, result.stderr) == (0, b"")
    table = read_columnar(fmt, out)
    expected = pyarrow.table(codec.unpack_many(dump, frame_bytes=frame_bytes))
    assert table.schema == expected.schema
    assert table.schema.field("big").type == pyarrow.uint64()
    assert table.equals(expected)
    if fmt == "parquet":
        import pyarrow.parquet
        assert pyarrow.parquet.ParquetFile(out).num_row_groups > 1


@pytest.mark.parametrize("fmt", ["parquet", "arrow"])
@pytest.mark.parametrize("bad_frame", [None, 0, 3])
def test_columnar_files_end_before_a_bad_frame_and_stay_readable(tmp_path, fmt, bad_frame):
    pyarrow = pytest.importorskip("pyarrow")
    from bitloom.frames import FrameCodec

    codec = FrameCodec(recipe_with_every_column_type(), text_padding="strip")
    dump = dump_of(codec, 6, bad_frame)
    write(tmp_path, "r.json", recipe_with_every_column_type())
    write(tmp_path, "d.bin", dump)
    result = run(tmp_path, "unpack", "r.json", "d.bin", "--frame-bytes", codec.size, "--format",
                 fmt, "-o", "out")
    table = read_columnar(fmt, tmp_path / "out")
    good = 6 if bad_frame is None else bad_frame
    assert table.equals(pyarrow.table(codec.unpack_many(dump[:good * codec.size])))
    if bad_frame is None:
        assert (result.returncode, result.stderr) == (0, b"")
    else:
        assert result.returncode == 1
        assert result.stderr.decode() == (
            f"bitloom: error: frame {bad_frame} (byte {bad_frame * codec.size}): field 'stamp': "
            "Invalid BCD digit: 15 (must be 0-9)\n")


@pytest.mark.parametrize("arguments", [["--frame-bytes", "7"], []])
def test_one_packet_or_an_empty_dump_makes_a_typed_file(tmp_path, arguments):
    pyarrow = pytest.importorskip("pyarrow")
    write(tmp_path, "r.json", RECIPE)
    write(tmp_path, "empty.bin", b"")
    source = "empty.bin" if arguments else FRAME.hex()
    result = run(tmp_path, "unpack", "r.json", source, *arguments, "--format", "parquet",
                 "-o", "out.parquet")
    assert (result.returncode, result.stderr) == (0, b"")
    table = read_columnar("parquet", tmp_path / "out.parquet")
    assert [str(kind) for kind in table.schema.types] == ["uint8", "int16", "string"]
    assert table.to_pylist() == ([] if arguments else [FRAMES[0][0]])


# (arguments, exit status, the error line) for the columnar formats.
COLUMNAR_ERRORS = [
    (["unpack", "r.json", "00", "--format", "parquet"], 2,
     "bitloom: error: --format parquet needs pyarrow, which is not installed: "
     "pip install 'bitloom[arrow]' (or pyarrow)"),
    (["unpack", "r.json", "d.bin", "--frame-bytes", "7", "--format", "arrow", "-o", "x.arrow"], 2,
     "bitloom: error: --format arrow needs pyarrow, which is not installed: "
     "pip install 'bitloom[arrow]' (or pyarrow)"),
]


@pytest.mark.parametrize("arguments, status, message", COLUMNAR_ERRORS)
def test_without_pyarrow_the_columnar_formats_say_what_to_install(tmp_path, arguments, status,
                                                                  message):
    write(tmp_path, "r.json", RECIPE)
    write(tmp_path, "d.bin", FRAME * 3)
    hidden = tmp_path / "hidden"
    (hidden / "pyarrow").mkdir(parents=True)
    (hidden / "pyarrow" / "__init__.py").write_text("raise ImportError('no pyarrow here')\n")
    result = subprocess.run([sys.executable, "-m", "bitloom", *arguments], cwd=tmp_path,
                            env={**os.environ, "PYTHONPATH": str(hidden)},
                            capture_output=True, timeout=60)
    assert (result.returncode, result.stderr.decode(), result.stdout) == (status, message + "\n", b"")
    assert not (tmp_path / "x.arrow").exists()


def test_other_columnar_refusals(tmp_path):
    pytest.importorskip("pyarrow")
    write(tmp_path, "e.json", [])
    result = run(tmp_path, "unpack", "e.json", "00", "--frame-bytes", "1", "--format", "arrow")
    assert (result.returncode, result.stderr) == (
        2, b"bitloom: error: a recipe without fields has no columns to write as arrow\n")
    write(tmp_path, "r.json", RECIPE)
    result = run(tmp_path, "unpack", "r.json", FRAME.hex(), "-o", "no/such/dir/out")
    assert (result.returncode, result.stderr) == (
        1, b"bitloom: error: cannot write no/such/dir/out: No such file or directory\n")


def run_with_terminal_stdout(tmp_path, arguments):
    pty = pytest.importorskip("pty")
    controller, terminal = pty.openpty()
    try:
        process = subprocess.run([sys.executable, "-m", "bitloom", *map(str, arguments)],
                                 cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=terminal,
                                 stderr=subprocess.PIPE, timeout=60)
        return process.returncode, process.stderr
    finally:
        os.close(terminal)
        os.close(controller)


def test_binary_formats_are_not_written_to_a_terminal(tmp_path):
    pytest.importorskip("pyarrow")
    write(tmp_path, "r.json", RECIPE)
    assert run_with_terminal_stdout(tmp_path, ["unpack", "r.json", FRAME.hex(), "--format",
                                               "parquet"]) == (
        2, b"bitloom: error: --format parquet writes binary data: redirect standard output or "
           b"pass --output FILE\n")


@pytest.mark.parametrize("when, on_terminal, frames, shown", [
    ("auto", True, 1200, True), ("auto", False, 1200, False), ("auto", True, 10, False),
    ("never", True, 1200, False), ("always", False, 10, True), ("always", True, 10, True),
])
def test_progress_shows_rate_and_time_left_where_asked(tmp_path, when, on_terminal, frames, shown):
    recipe = write(tmp_path, "recipe.json", RECIPE)
    dump = write(tmp_path, "dump.bin", FRAME * frames)
    arguments = ["unpack", recipe, dump, "--frame-bytes", 7, "--progress", when]
    if on_terminal:
        status, stdout, text = run_with_terminal_stderr(tmp_path, arguments)
    else:
        result = run(tmp_path, *arguments)
        status, stdout, text = result.returncode, result.stdout, result.stderr.decode()
    assert (status, len(stdout.splitlines())) == (0, frames)
    if not shown:
        assert text == ""
        return
    line = text.strip("\r").split("\r")[0].rstrip()
    assert line.startswith(f"bitloom: frame {frames} of {frames} (100%), ")
    assert line.endswith(" frames/s, 0:00 left")
    assert text.endswith("\r")


@pytest.mark.parametrize("done, total, elapsed, text", [
    (500, 1000, 1.0, "bitloom: frame 500 of 1000 (50%), 500 frames/s, 0:01 left"),
    (1_500_000, 10_000_000, 1.0, "bitloom: frame 1500000 of 10000000 (15%), 1.5 M frames/s, 0:06 left"),
    (2_000, 20_000_000, 0.5, "bitloom: frame 2000 of 20000000 (0%), 4.0 k frames/s, 1:23:20 left"),
    (30_000_000, None, 10.0, "bitloom: frame 30000000, 3.0 M frames/s"),
    (0, 100, 0.0, "bitloom: frame 0 of 100 (0%)"),
])
def test_the_progress_line(done, total, elapsed, text):
    from bitloom import cli
    assert cli.Progress(total, "never").text(done, elapsed) == text


def test_numbers_from_the_tables_of_texts_are_exact():
    # 8- and 16-bit columns take their texts from tables indexed by value.
    from bitloom import cli
    from bitloom.frames import FrameCodec

    widths = [("u8", "unsigned", 8), ("s8", "twos_complement", 8), ("u16", "unsigned", 16),
              ("s16", "twos_complement", 16), ("u12", "unsigned", 12), ("s3", "twos_complement", 3)]
    codec = FrameCodec([field(name, encoding, bits) for name, encoding, bits in widths])
    frames = [{"u8": u8, "s8": s8, "u16": u16, "s16": s16, "u12": u12, "s3": s3}
              for u8, s8, u16, s16, u12, s3 in [(0, -128, 0, -32768, 0, -4), (255, 127, 65535, 32767, 4095, 3),
                                                (1, -1, 256, -1, 7, -1), (128, 0, 32768, 0, 2048, 0)]]
    columns = codec.unpack_many(codec.pack_many(frames))
    out = io.StringIO()
    cli.JsonLinesWriter(out, codec.names).write(columns, len(frames))
    assert out.getvalue() == "".join(json.dumps(frame) + "\n" for frame in frames)
    out = io.StringIO()
    cli.CsvWriter(out, codec.names).write(columns, len(frames))
    assert out.getvalue() == "".join(",".join(map(str, frame.values())) + "\n" for frame in frames)
