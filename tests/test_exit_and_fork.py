"""Threads inside calls when the interpreter exits, and the thread that signals interrupt after a fork
or when `threading` was first imported on another thread: the process behaves as it does with the
interpreter's own file reads (`open().read()`)."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from result_files import cube_file, spectrum_file

RUNS = 5  # processes per case: a fault at exit depends on where each thread is, and shows in some runs only

needs_posix_signals = pytest.mark.skipif(sys.platform == "win32" or not hasattr(signal, "setitimer"),
                                         reason="needs POSIX signal delivery")
needs_fork_and_fifo = pytest.mark.skipif(not hasattr(os, "fork") or not hasattr(os, "mkfifo"),
                                         reason="needs os.fork and os.mkfifo")

READS = {
    "open().read()": "lambda path: open(path, 'rb').read()",
    "getOpusData": "lambda path: korvex.getOpusData(path, korvex.listContents(path)[0])",
    "listContents": "lambda path: korvex.listContents(path)",
    # Through open(): the thread is ended inside Python's read, below the call's own frames.
    "isOpusFile of a descriptor": "lambda path: korvex.isOpusFile(os.open(path, os.O_RDONLY))",
}


def run(script, *args, timeout=60):
    done = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c", textwrap.dedent(script),
                           *map(str, args)], capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture(scope="module")
def small_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("exit")
    paths = {"4-point spectrum": folder / "spectrum.0", "map cube": folder / "cube.0"}
    paths["4-point spectrum"].write_bytes(spectrum_file())
    paths["map cube"].write_bytes(cube_file())
    return paths


DAEMONS_AT_EXIT = """
    import os, sys, threading, time
    import korvex

    path, read = sys.argv[1], eval(sys.argv[2])

    def loop():
        while True:
            read(path)

    for _ in range(2):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(0.1)
"""


@pytest.mark.parametrize("kind", ["4-point spectrum", "map cube"])
@pytest.mark.parametrize("read", READS)
def test_daemon_threads_in_calls_at_exit(small_files, kind, read):
    # The main thread returns while two daemon threads loop on calls: the interpreter ends them when
    # they ask for the GIL back, and the process exits as it does when they loop on open().read().
    outcomes = [run(DAEMONS_AT_EXIT, small_files[kind], READS[read]) for _ in range(RUNS)]
    assert outcomes == [(0, "", "")] * RUNS


INTERRUPTED_MAP = """
    import os, signal, sys, threading
    from multiprocessing.pool import ThreadPool
    import korvex

    read, paths = eval(sys.argv[1]), sys.argv[2:]
    # Python's own Ctrl-C handler, also where the test runs with SIGINT ignored (a background job).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    pool = ThreadPool(4)
    threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
    pool.map(read, paths * 100000)
"""


@needs_posix_signals
@pytest.mark.parametrize("read", READS)
def test_interrupt_during_thread_pool_map_over_files(small_files, read):
    # Ctrl-C while the pool's daemon workers read: KeyboardInterrupt ends the main thread, and the
    # process ends by SIGINT, its traceback printed, the workers still in their calls.
    for _ in range(RUNS):
        code, out, err = run(INTERRUPTED_MAP, READS[read], *small_files.values())
        assert (code, out, err.splitlines()[-1:]) == (-signal.SIGINT, "", ["KeyboardInterrupt"]), err


FORKED_WORKER = """
    import os, signal, sys, threading, time
    import korvex

    fifo, call, sound = sys.argv[1], sys.argv[2], sys.argv[3]
    calls = {"isOpusFile": korvex.isOpusFile, "listContents": korvex.listContents}

    class Alarm(Exception):
        pass

    def raise_alarm(signum, frame):
        raise Alarm()

    def in_child():
        # This thread is the child's only one, and runs its signal handlers.
        signal.signal(signal.SIGALRM, raise_alarm)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        try:
            calls[call](fifo)
            outcome = "returned"
        except Alarm:
            outcome = "Alarm"
        os.write(1, outcome.encode())
        os._exit(0)

    def fork_and_wait():
        child = os.fork()
        if child == 0:
            in_child()
        deadline = time.monotonic() + 10
        while os.waitpid(child, os.WNOHANG) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(child, signal.SIGKILL)
                os.waitpid(child, 0)
                print("blocked")
                return
            time.sleep(0.01)

    korvex.isOpusFile(sound)  # a call on the main thread first
    worker = threading.Thread(target=fork_and_wait)
    worker.start()
    worker.join()
"""


@needs_posix_signals
@needs_fork_and_fifo
@pytest.mark.parametrize("call", ["isOpusFile", "listContents"])
def test_signal_interrupts_the_forking_thread_in_the_child(tmp_path, small_files, call):
    # Opening a FIFO with no writer blocks until the raising handler stops it.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    code, out, err = run(FORKED_WORKER, fifo, call, small_files["4-point spectrum"])
    assert (code, out) == (0, "Alarm"), err


THREAD_BEFORE_THREADING = """
    import _thread, signal, sys
    import korvex

    if "threading" in sys.modules:
        print("threading imported before the first call")
        sys.exit()

    fifo, sound = sys.argv[1], sys.argv[2]
    done = _thread.allocate_lock()
    done.acquire()

    def first_call():
        korvex.isOpusFile(sound)
        done.release()

    _thread.start_new_thread(first_call, ())
    done.acquire()
    imported = "threading" in sys.modules

    class Alarm(Exception):
        pass

    def raise_alarm(signum, frame):
        raise Alarm()

    signal.signal(signal.SIGALRM, raise_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    try:
        korvex.listContents(fifo)
        print("returned", imported)
    except Alarm:
        print("Alarm", imported)
"""


@needs_posix_signals
@needs_fork_and_fifo
def test_signal_interrupts_the_main_thread_after_a_first_call_elsewhere(tmp_path, small_files):
    # The first call is made on a thread started with _thread while threading is not imported (on
    # Pythons where importing korvex, NumPy with it, does not import it); the call imports nothing,
    # and a later call on the main thread is interrupted.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    try:
        code, out, err = run(THREAD_BEFORE_THREADING, fifo, small_files["4-point spectrum"], timeout=10)
    except subprocess.TimeoutExpired:
        pytest.fail("the call on the main thread was not interrupted")
    if out.strip() == "threading imported before the first call":
        pytest.skip(out.strip())
    assert (code, out, err) == (0, "Alarm False\n", "")
