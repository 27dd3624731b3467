"""Signals during a call: a handler that raises stops a blocked or a long read with its exception, as
it stops the interpreter's own file reads, and the call leaves no descriptor open."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

import korvex
from opuswriter import HEADER_SIZE, MAGIC, int32

needs_alarm = pytest.mark.skipif(not hasattr(signal, "setitimer") or not hasattr(signal, "pthread_sigmask"),
                                 reason="needs signal.setitimer and signal.pthread_sigmask")
needs_fifo = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs os.mkfifo")

DESCRIPTOR_FOLDER = next((folder for folder in ("/proc/self/fd", "/dev/fd") if os.path.isdir(folder)), None)

CALLS = {
    "isOpusFile": lambda path: korvex.isOpusFile(path),
    "listContents": lambda path: korvex.listContents(path),
    "getOpusData": lambda path: korvex.getOpusData(path, ("AB", "2D", "NONE")),
}

# Run in a child process, so that a call that never returns is ended by the timeout of the parent
# instead of hanging the suite. A writer thread (which never takes the alarm) opens the FIFO for
# writing when `written` is not None, writes those bytes and waits until the call is over, or until
# a non-raising handler has run, to write the rest of the magic number and close.
CHILD = textwrap.dedent("""
    import os, signal, sys, threading
    import korvex

    fifo, call, written, handler = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    magic = bytes.fromhex("{magic}")
    calls = {{
        "isOpusFile": lambda: korvex.isOpusFile(fifo),
        "listContents": lambda: korvex.listContents(fifo),
        "getOpusData": lambda: korvex.getOpusData(fifo, ("AB", "2D", "NONE")),
    }}

    def descriptors():
        return sorted(os.listdir("{descriptors}")) if "{descriptors}" != "None" else []

    class Alarm(Exception):
        pass

    handled = threading.Event()

    def on_alarm(signum, frame):
        handled.set()
        if handler == "raises":
            raise Alarm()

    def write():
        signal.pthread_sigmask(signal.SIG_BLOCK, {{signal.SIGALRM}})
        with open(fifo, "wb", buffering=0) as out:
            out.write(magic[:int(written)])
            handled.wait()
            out.write(magic[int(written):])

    before = descriptors()
    writer = threading.Thread(target=write) if written != "none" else None
    if writer:
        writer.start()
    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        outcome = repr(calls[call]())
    except Alarm:
        outcome = "Alarm"
    handled.set()
    if writer:
        writer.join()
    print(outcome, "descriptors kept" if descriptors() == before else "descriptors leaked")
""").format(magic=MAGIC.hex(), descriptors=DESCRIPTOR_FOLDER)


def run_child(fifo, call, written, handler):
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, str(fifo), call, written, handler],
                              capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{call} on the FIFO was still blocked a minute after the alarm")
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@needs_fifo
@needs_alarm
@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("written", ["none", "2"], ids=["no writer", "writer stalls"])
def test_signal_handler_that_raises_stops_a_blocked_call(tmp_path, call, written):
    # With no writer, opening the FIFO blocks; with one that stalls after two bytes, reading the
    # magic number does.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    assert run_child(fifo, call, written, "raises") == "Alarm descriptors kept"


@needs_fifo
@needs_alarm
def test_signal_handler_that_returns_lets_a_blocked_read_go_on(tmp_path):
    # The handler runs while the read waits; the writer then sends the rest of the magic number.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    assert run_child(fifo, "isOpusFile", "2", "returns") == "True descriptors kept"


@pytest.fixture
def long_directory(tmp_path):
    """A file whose directory claims some 268 million entries of a sparse hole of 3 GiB, the last
    of them cut by the end of the file: walking it to its end takes seconds and reports the cut
    entry through sys.unraisablehook."""
    entries = 3 * 2**30 // 12
    path = tmp_path / "long-directory.0"
    with open(path, "wb") as out:
        out.write(MAGIC + bytes(8) + int32(HEADER_SIZE) + int32(entries) + int32(entries))
        try:
            out.truncate(HEADER_SIZE + 12 * entries - 4)
        except OSError as error:
            pytest.skip(f"the file system refuses a sparse file of 3 GiB: {error}")
    if hasattr(os.stat_result, "st_blocks") and os.stat(path).st_blocks * 512 > 2**20:
        pytest.skip("the file system does not keep the file sparse")
    return path


class Alarm(Exception):
    pass


def raise_alarm(signum, frame):
    raise Alarm()


@needs_alarm
@pytest.mark.parametrize("call", ["listContents", "getOpusData"])
def test_signal_handler_that_raises_stops_a_long_directory_walk(long_directory, unraisable, call):
    # The directory walk makes no blocking system call: the signal is seen between reads. Had the
    # walk run to its end, the cut last entry would have been reported before the alarm's exception.
    before = sorted(os.listdir(DESCRIPTOR_FOLDER)) if DESCRIPTOR_FOLDER else []
    previous = signal.signal(signal.SIGALRM, raise_alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(Alarm) as raised:
            CALLS[call](str(long_directory))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert raised.value.__context__ is None
    assert unraisable == []
    assert (sorted(os.listdir(DESCRIPTOR_FOLDER)) if DESCRIPTOR_FOLDER else []) == before
