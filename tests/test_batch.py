"""The batch reader (korvex-batch, and examples/batch.py that runs it from a checkout): a folder
read by a thread pool, and as a dask.bag on worker processes."""

import subprocess
import sys
from contextlib import contextmanager
from pathlib import Path

import pytest

import korvex
from checks import UNDER_ADDRESS_SANITIZER
from korvex_tools import ReadError, batch, read_block
from opuswriter import OpusFile, block_type, float32_block, param_block_from_dict
from result_files import assert_same_result, write_kinds
from tool_files import command, spectrum_file

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"

SSC, SAMPLE_SIDE = 1, 1  # data type code, sample type code
THIRD_DERIVATIVE = ("AB", "2D", "3DER")  # as listed; requested as "NDER"
NO_NPT = ("AB", "2D", "NONE")


def third_derivative_file():
    opus = OpusFile()
    opus.add_block(block_type(data_type=4, deriv_type=3), float32_block([1.0, 2.0]))
    opus.add_block(block_type(data_type=4, param_type=1, deriv_type=3),
                   param_block_from_dict({"NPT": 2, "FXV": 1.0, "LXV": 2.0, "MXY": 2.0, "MNY": 1.0}))
    return opus.build()


def no_npt_file():
    opus = OpusFile()
    opus.add_block(0x1000, float32_block([1.0]))
    opus.add_block(0x1010, param_block_from_dict({"FXV": 1.0}))
    return opus.build()


@pytest.fixture
def folder(tmp_path):
    """A folder of the three result kinds, a third derivative, two damaged OPUS files, two other
    files and a subfolder. Returns the folder and {file name: [(block, request)]} of what reads."""
    readable = {path.name: [(block, block)] for path, block in write_kinds(tmp_path).values()}
    (tmp_path / "third.0").write_bytes(third_derivative_file())
    readable["third.0"] = [(THIRD_DERIVATIVE, ("AB", "2D", "NDER"))]
    (tmp_path / "no_npt.0").write_bytes(no_npt_file())
    (tmp_path / "lost.0").write_bytes(OpusFile(offset_to_directory=-1).build())
    (tmp_path / "notes.txt").write_text("not a spectrum\n")
    (tmp_path / "tiny").write_bytes(b"\n\n")
    (tmp_path / "sub").mkdir()
    return tmp_path, readable


def check_reports(reports, folder, readable):
    """The reports hold what korvex reads from each file, and the two damaged files' errors."""
    assert all(Path(report["path"]).is_absolute() for report in reports)
    by_name = {Path(report["path"]).name: report for report in reports}
    assert list(by_name) == ["lost.0", "map_cube.0", "no_npt.0", "spectrum.0", "third.0", "trace_maps.0"]
    assert by_name["lost.0"]["errors"] == [(None, "OSError: [Errno 22] Invalid argument")]
    assert by_name["no_npt.0"]["errors"] == [(NO_NPT, "KeyError: 'NPT'")]
    for name, expected in readable.items():
        report = by_name[name]
        assert report["errors"] == []
        assert [block for block, _ in report["blocks"]] == [block for block, _ in expected]
        for (_, result), (_, request) in zip(report["blocks"], expected):
            assert_same_result(result, korvex.getOpusData(str(folder / name), request))


def test_a_thread_pool_reads_every_block_of_every_opus_file(folder):
    path, readable = folder
    paths, others = batch.opus_files([path])
    assert others == 2
    check_reports(batch.read_with_threads(paths, 4), path, readable)


def test_a_dask_bag_reads_the_same_on_worker_processes(folder):
    pytest.importorskip("dask.bag")
    path, readable = folder
    paths, _ = batch.opus_files([path])
    # The results come back pickled from the worker processes.
    check_reports(batch.read_with_dask(paths, "processes"), path, readable)


@pytest.mark.parametrize("command, options", [
    (command("korvex-batch"), []),
    (command("korvex-batch"), ["--threads", "2"]),
    ([sys.executable, str(EXAMPLES / "batch.py")], ["--dask", "synchronous"]),
])
def test_the_summary(folder, command, options):
    """The summary names what could not be read, and the exit status says so."""
    if "--dask" in options:
        pytest.importorskip("dask.bag")
    path, _ = folder
    done = subprocess.run([*command, str(path), *options], capture_output=True, text=True)
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert lines[:-1] == [
        "6 OPUS files, 2 other files skipped",
        "4 data blocks: 2 spectra, 1 map cubes, 1 sets of trace maps",
        "30 values (0.0 MB as float32)",
        "2 could not be read:",
        f"  {path / 'lost.0'}: OSError: [Errno 22] Invalid argument",
        f"  {path / 'no_npt.0'} AB 2D NONE: KeyError: 'NPT'",
    ]
    assert lines[-1].startswith("read in ")
    assert done.stderr == ""


def test_a_path_that_is_no_folder_is_refused(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "batch.py"), str(tmp_path / "missing")],
                          capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr.endswith(f"error: {tmp_path / 'missing'} is not a folder\n")


def test_recursive_reads_the_subfolders_too(folder):
    path, readable = folder
    (path / "sub" / "spectrum.0").write_bytes((path / "spectrum.0").read_bytes())
    flat, _ = batch.opus_files([path])
    deep, others = batch.opus_files([path], recursive=True)
    assert deep == sorted(flat + [str(path / "sub" / "spectrum.0")])
    assert others == 2


@pytest.mark.parametrize("blocked, hint, install", [
    ("dask", "--dask needs Dask (", ": python -m pip install dask\n"),
    ("distributed", "--dask with a cluster needs dask.distributed (", ': python -m pip install "dask[distributed]"\n'),
])
def test_a_missing_dask_is_named_with_what_to_install(folder, blocked, hint, install):
    """Without Dask, or with Dask but without its distributed scheduler for a cluster's address."""
    if blocked == "distributed":
        pytest.importorskip("dask.bag")
    script = (f"import sys; sys.modules[{blocked!r}] = None; from korvex_tools.batch import main;"
              " sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", script, str(folder[0]), "--dask", "tcp://127.0.0.1:9"],
                          capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr.startswith(hint) and done.stderr.endswith(install)


@pytest.fixture(scope="module")
def cluster():
    """One local Dask cluster of two worker processes for the tests that need one; none under the
    sanitizers (whose runtimes each worker would load), nor under Windows' interpreter, nor without
    dask.distributed. Its scheduler runs in this process, on a thread of its own, and is stopped
    with this module's tests: left running, it allocates as the later tests measure what their
    calls allocate."""
    if UNDER_ADDRESS_SANITIZER:
        pytest.skip("no cluster under the sanitizers")
    if sys.platform == "win32":
        pytest.skip("no cluster under Windows' interpreter")
    pytest.importorskip("distributed")
    with batch.local_cluster(2) as started:
        yield started


def test_a_cluster_reads_a_folder_given_relative_to_the_current_one(cluster, folder, monkeypatch):
    """The workers have a current folder of their own: they get absolute paths."""
    path, readable = folder
    monkeypatch.chdir(path.parent)
    paths, _ = batch.opus_files([Path(path.name)])
    check_reports(batch.read_with_dask(paths, cluster.scheduler_address), path, readable)


def test_dask_local_runs_on_a_cluster_of_that_many_workers(cluster, folder, monkeypatch, capsys):
    asked = []

    @contextmanager
    def shared(workers):  # the cluster the tests share, in place of one started for the run
        asked.append(workers)
        yield cluster

    monkeypatch.setattr(batch, "local_cluster", shared)
    assert batch.main([str(folder[0]), "--dask", "local:2"]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "6 OPUS files, 2 other files skipped" and lines[-1].endswith(" s with dask (local:2)")
    assert asked == [2] and len(cluster.scheduler_info["workers"]) == 2


@pytest.mark.parametrize("scheduler", ["local:0", "local:", "local:two"])
def test_dask_local_needs_a_number_of_workers(folder, scheduler):
    done = subprocess.run([*command("korvex-batch"), str(folder[0]), "--dask", scheduler], capture_output=True, text=True)
    assert done.returncode == 2
    assert done.stderr.endswith(f"error: {scheduler!r}: local:N takes a number of worker processes, 1 or more\n")


def test_a_missing_block_is_named_with_its_file_and_what_the_file_holds(tmp_path):
    """read_block, the tools and the example that reads one block of every file of a folder."""
    (tmp_path / "absorbance.0").write_bytes(spectrum_file())
    channel = tmp_path / "channel.0"
    channel.write_bytes(spectrum_file(data_type=SSC, sample_type=SAMPLE_SIDE))
    (tmp_path / "empty.1").write_bytes(b"")
    with pytest.raises(ReadError) as caught:
        read_block(channel, ("AB", "2D", "NONE"))
    missing = "ValueError: No data block exists in the file for: AB 2D NONE (the file holds: SSC 2D NONE)"
    assert str(caught.value) == f"{channel}: {missing}"
    assert (caught.value.path, caught.value.listing) == (str(channel), [("SSC", "2D", "NONE")])
    assert type(caught.value.__cause__) is ValueError
    done = subprocess.run([sys.executable, str(EXAMPLES / "read_folder.py"), str(tmp_path)], capture_output=True,
                          text=True)
    assert (done.returncode, done.stderr) == (1, "")
    assert done.stdout.splitlines() == [
        "1 of 3 OPUS files hold AB 2D NONE",
        f"  {channel}: {missing}",
        f"  {tmp_path / 'empty.1'}: ValueError: empty file (0 bytes): an interrupted copy?",
    ]
    # A block listed by its parameter block alone: the tools list what the file holds beside the error.
    listed_only = OpusFile()
    listed_only.add_block(block_type(data_type=4, param_type=1),
                          param_block_from_dict({"NPT": 2, "FXV": 1.0, "LXV": 2.0, "MXY": 1.0, "MNY": 0.0}))
    (channel).write_bytes(listed_only.build())
    report = batch.read_file(str(channel))
    assert report["errors"] == [(("AB", "2D", "NONE"), "ValueError: No data block exists in the file for: AB 2D NONE"
                                                        " (the file holds: AB 2D NONE)")]
