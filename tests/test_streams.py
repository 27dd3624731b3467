"""Pipes, FIFOs and devices: the magic test reads a stream's first four bytes, as open().read(4)
does; listContents and getOpusData then seek to the header, which a stream refuses with
io.UnsupportedOperation. A pipe never reads as an empty or a cut file."""

import os
import struct
import subprocess
import sys
import threading

import pytest

import korvex
from checks import assert_same_error, raised_by
from opuswriter import MAGIC, OpusFile, float32_block, param_block_from_dict

AB = ("AB", "2D", "NONE")

CALLS = {
    "isOpusFile": korvex.isOpusFile,
    "listContents": korvex.listContents,
    "getOpusData": lambda path: korvex.getOpusData(path, AB),
}

needs_fifo = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs os.mkfifo")


def spectrum():
    opus = OpusFile()
    opus.add_block(0x1010, param_block_from_dict({"NPT": 4, "FXV": 1.0, "LXV": 4.0, "MXY": 4.0, "MNY": 1.0}))
    opus.add_block(0x1000, float32_block([1.0, 2.0, 3.0, 4.0]))
    return opus.build()


def not_seekable():
    """What seeking a file object of a pipe raises on this system."""
    read_end, write_end = os.pipe()
    try:
        with open(read_end, "rb", closefd=False) as stream:
            if stream.seekable():
                pytest.skip("a pipe is seekable on this system")
            return raised_by(stream.seek, 4)
    finally:
        os.close(read_end)
        os.close(write_end)


@needs_fifo
@pytest.mark.parametrize("content, outcomes", [
    (spectrum(), {"isOpusFile": True, "listContents": "not seekable", "getOpusData": "not seekable"}),
    (b"\0\0\0\0" + bytes(100), {"isOpusFile": False, "listContents": ValueError, "getOpusData": ValueError}),
    (MAGIC[:2], {"isOpusFile": struct.error, "listContents": struct.error, "getOpusData": struct.error}),
], ids=["opus", "not opus", "two bytes"])
@pytest.mark.parametrize("call", CALLS)
def test_fifo_answers_the_magic_test_and_refuses_the_seek(tmp_path, unraisable, call, content, outcomes):
    # A writer fills the FIFO and closes it; the call reads what it needs of it.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    writer_errors = []

    def write():
        try:
            with open(fifo, "wb") as out:
                out.write(content)
        except BrokenPipeError:  # the call stopped reading: only the magic number was needed
            pass
        except OSError as error:
            writer_errors.append(error)

    writer = threading.Thread(target=write)
    writer.start()
    try:
        expected = outcomes[call]
        if expected == "not seekable":
            assert_same_error(raised_by(CALLS[call], str(fifo)), not_seekable())
        elif isinstance(expected, type):
            with pytest.raises(expected):
                CALLS[call](str(fifo))
        else:
            assert CALLS[call](str(fifo)) is expected
    finally:
        # A reader of its own, opened without waiting for a writer, lets a writer that still waits
        # for one (had the call not opened the FIFO) go on and finish.
        drain = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            writer.join()
        finally:
            os.close(drain)
    assert writer_errors == []
    assert unraisable == []


# POSIX device paths: a Windows interpreter under wine sees the host's /dev and /proc as files.
@pytest.mark.skipif(sys.platform == "win32" or not os.path.exists("/dev/stdin"), reason="needs POSIX /dev/stdin")
@pytest.mark.parametrize("call", CALLS)
def test_opus_file_piped_into_stdin(call):
    # As in `cat file.0 | python -c ...`: the magic test passes on the pipe, the seek after it fails.
    child = ("import sys, korvex\n"
             f"call = {call!r}\n"
             "try:\n"
             "    result = korvex.getOpusData('/dev/stdin', ('AB', '2D', 'NONE')) if call == 'getOpusData' \\\n"
             "        else getattr(korvex, call)('/dev/stdin')\n"
             "    print(repr(result))\n"
             "except Exception as error:\n"
             "    print(type(error).__module__, type(error).__qualname__, str(error))\n")
    run = subprocess.run([sys.executable, "-c", child], input=spectrum(), capture_output=True, timeout=120)
    assert (run.returncode, run.stderr.decode()) == (0, "")
    expected = "True" if call == "isOpusFile" else "io UnsupportedOperation File or stream is not seekable."
    assert run.stdout.decode().strip() == expected


def test_pipe_by_descriptor_is_refused_where_open_seeks(monkeypatch, unraisable):
    # A replaced magic test that leaves the descriptor open: the listing opens the pipe as open()
    # would and seeks to the header, which fails; the pipe is not read, and stays the caller's.
    expected = not_seekable()
    monkeypatch.setattr(korvex, "isOpusFile", lambda fd: True)
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, spectrum())
        os.close(write_end)
        write_end = None
        assert_same_error(raised_by(korvex.listContents, read_end), expected)
        assert os.read(read_end, 4) == MAGIC  # nothing was read from it
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)
    assert unraisable == []


@pytest.mark.skipif(sys.platform == "win32" or not os.path.exists("/proc/self/mem"), reason="needs POSIX /proc/self/mem")
@pytest.mark.parametrize("call", CALLS)
def test_device_read_error_names_no_file(call):
    # Reading offset 0 of /proc/self/mem fails (EIO); an error of read() names no file, only an
    # error of opening does.
    try:
        with open("/proc/self/mem", "rb") as device:
            device.read(4)
    except OSError as error:
        expected = error
    else:
        pytest.skip("/proc/self/mem reads at offset 0 here")
    assert_same_error(raised_by(CALLS[call], "/proc/self/mem"), expected)
