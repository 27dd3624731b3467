"""listContents: naming a file's data blocks by their data parameter blocks."""

import errno
import os
import struct
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvex
from checks import (DIRECTORY_ERROR, DOUBLE_REPORT, INT_REPORT, PATH_KINDS, UNDER_ADDRESS_SANITIZER,
                    assert_same_error, needs_proc_fd, open_descriptors, raised_by)
from opusmodel import DATA_BLOCK_TYPES, DERIVATIVES, FRONT_SET, model_listing
from opuswriter import (DATA_PARAMETERS, DATA_VALUES, EXTEND_3D, MAGIC, OpusFile, block_type, float32_block,
                        param_block, param_block_from_dict)

AB = ("AB", "2D", "NONE")


def parameters_of(name, sample_type=None, deriv_type=0, extend_type=0):
    """The code of the data parameter block of data block type `name`."""
    _, data_type, required = next(row for row in DATA_BLOCK_TYPES if row[0] == name)
    if sample_type is None:
        sample_type = 0 if required is None else required
    return block_type(data_type=data_type, param_type=DATA_PARAMETERS, sample_type=sample_type,
                      deriv_type=deriv_type, extend_type=extend_type)


def file_with(write_file, codes, **header):
    """A new file whose directory holds an entry of each code, in order."""
    opus = OpusFile(**header)
    for code in codes:
        opus.add_entry(code)
    return write_file(opus.build())


def spectrum_file():
    """The bytes of a file of one AB spectrum of four values, with its data parameters."""
    opus = OpusFile()
    opus.add_block(0x1010, param_block_from_dict({"NPT": 4, "FXV": 1.0, "LXV": 4.0, "MXY": 4.0, "MNY": 1.0}))
    opus.add_block(0x1000, float32_block([1.0, 2.0, 3.0, 4.0]))
    return opus.build()


def listing(write_file, codes, **header):
    """listContents of file_with(write_file, codes, **header)."""
    return korvex.listContents(str(file_with(write_file, codes, **header)))


# ------------------------------------------------------------------ block type codes

@pytest.mark.parametrize("code, expected", [
    (0x1010, [AB]),                                  # paramType 1, dataType 4
    (0x1000, []),                                    # the AB values block itself
    (0x501010, [("AB", "3D", "NONE")]),              # extendType 10
    (0x21010, [("AB", "2D", "1DER")]),
    (0x41010, [("AB", "2D", "2DER")]),
    (0x61010, [("AB", "2D", "3DER")]),
    (0x541010, [("AB", "3D", "2DER")]),
    (0x581010, [AB]),                                # extendType 11 is not 3D
    (0x3814, [("SPOW", "2D", "NONE")]),              # sampleType 1
    (0x3818, [("RPOW", "2D", "NONE")]),              # sampleType 2
    (0x381C, []),                                    # sampleType 3: no name
    (0x3810, []),                                    # sampleType 0: no name
    (0x415, [("SSC", "2D", "NONE")]),                # complexType 1 does not matter
    (-1, []),                                        # paramType 63
    (0x80001010, [AB]),                              # bit 31 is no field
    (0xFC001010, [AB]),                              # nor are bits 26 to 30
    (0x4000101F, [AB]),                              # as real files write it
    (0x4000100F, []),
    (0x1020, []),                                    # another parameter block of AB
], ids=lambda v: f"{v & 0xFFFFFFFF:#x}" if isinstance(v, int) else None)
def test_worked_codes(write_file, code, expected):
    assert listing(write_file, [code]) == expected


@pytest.mark.parametrize("name, data_type, sample_type", DATA_BLOCK_TYPES, ids=lambda v: str(v))
def test_every_data_block_type_is_named(write_file, name, data_type, sample_type):
    named = [parameters_of(name, sample_type=s) for s in ((0, 1, 2, 3) if sample_type is None else (sample_type,))]
    unnamed = [] if sample_type is None else [parameters_of(name, sample_type=s) for s in (0, 3)]
    values = block_type(data_type=data_type, sample_type=sample_type or 0, param_type=DATA_VALUES)
    assert listing(write_file, unnamed + [values] + named) == [(name, "2D", "NONE")] * len(named)


@pytest.mark.parametrize("data_type", [0, 8, 9, 13, 20, 21, 63, 64, 127])
def test_data_types_without_a_name_are_not_listed(write_file, data_type):
    codes = [block_type(data_type=data_type, param_type=DATA_PARAMETERS, sample_type=s) for s in range(4)]
    assert listing(write_file, codes) == []


# ------------------------------------------------------------------ order

def test_front_set_goes_first_in_reverse_and_the_rest_follows_in_order(write_file):
    codes = [parameters_of(name) for name in ("SSC", "AB", "TR", "RSC")]
    assert listing(write_file, codes) == [
        ("TR", "2D", "NONE"), ("AB", "2D", "NONE"), ("SSC", "2D", "NONE"), ("RSC", "2D", "NONE")]


def test_order_over_every_name(write_file):
    names = [row[0] for row in DATA_BLOCK_TYPES]
    front = ["AB", "ATR", "EMIS", "TR", "KM", "PAS", "RAM", "REFL"]
    rest = ["SPOW", "RPOW", "SPH", "RPH", "LREFL", "SIFG", "RIFG", "TRARI", "ABARI", "TRC", "SSC", "RSC"]
    assert set(front) == FRONT_SET
    assert [t[0] for t in listing(write_file, [parameters_of(n) for n in names])] == front + rest


def test_duplicates_are_kept_and_other_blocks_ignored(write_file):
    ab3d = parameters_of("AB", extend_type=EXTEND_3D, deriv_type=2)
    codes = [
        0x3400,                                      # the directory's own entry
        parameters_of("SSC"), block_type(data_type=4), parameters_of("AB"),
        block_type(param_type=2), block_type(param_type=10), ab3d,
        parameters_of("SSC"), parameters_of("AB"), 0,
    ]
    assert listing(write_file, codes) == [
        AB, ("AB", "3D", "2DER"), AB, ("SSC", "2D", "NONE"), ("SSC", "2D", "NONE")]


@pytest.mark.parametrize("dir_size", [0, -5, -(2**31)])
def test_dir_size_of_zero_or_less_walks_nothing(write_file, unraisable, dir_size):
    assert listing(write_file, [parameters_of("AB")] * 3, dir_size=dir_size) == []
    assert unraisable == []


def test_dir_size_smaller_than_the_directory_walks_that_many(write_file):
    codes = [parameters_of(name) for name in ("SSC", "AB", "TR", "RSC")]
    assert listing(write_file, codes, dir_size=2) == [AB, ("SSC", "2D", "NONE")]


def test_directory_elsewhere_in_the_file(write_file):
    opus = OpusFile(directory_offset="end")
    opus.add_block(parameters_of("TR"), param_block([("NPT", 0, 1)]))
    opus.add_block(block_type(data_type=5), b"\0" * 16)
    assert korvex.listContents(str(write_file(opus.build()))) == [("TR", "2D", "NONE")]


def test_each_call_returns_a_new_equal_list(write_file):
    path = str(file_with(write_file, [parameters_of("AB")]))
    first = korvex.listContents(path)
    first.append("changed")
    assert korvex.listContents(path) == [AB]
    assert type(korvex.listContents(path)[0]) is tuple


# ------------------------------------------------------------------ errors

def test_non_opus_file_is_refused(write_file):
    with pytest.raises(ValueError) as info:
        listing(write_file, [parameters_of("AB")], magic=b"\xfe\xfe\x0a\x0a")
    assert type(info.value) is ValueError and info.value.args == ("Can't process a non-Opus file",)


@pytest.mark.parametrize("content", [b"", b"\x0a\x0a\xfe"])
def test_file_shorter_than_the_magic_raises_the_unpack_error(write_file, content):
    with pytest.raises(struct.error) as info:
        korvex.listContents(str(write_file(content)))
    assert str(info.value) == "unpack requires a buffer of 4 bytes"


@pytest.mark.parametrize("kind", PATH_KINDS)
def test_missing_file_raises_what_open_raises(tmp_path, kind):
    path = PATH_KINDS[kind](tmp_path / "missing.opus")
    assert_same_error(raised_by(korvex.listContents, path), raised_by(open, path, "rb"))


def test_directory_raises_what_open_raises(tmp_path):
    assert_same_error(raised_by(korvex.listContents, tmp_path), raised_by(open, tmp_path, "rb"))


@pytest.mark.parametrize("kind", PATH_KINDS)
def test_every_kind_of_path_is_accepted(write_file, kind):
    assert korvex.listContents(PATH_KINDS[kind](file_with(write_file, [parameters_of("AB")]))) == [AB]


FOLDER_NOT_ASCII = "Spektren äöü 光谱"


# Windows names files in UTF-16, which the core is handed as UTF-8; elsewhere the bytes of the
# file-system encoding are the name.
@pytest.mark.skipif(os.fsdecode(os.fsencode(FOLDER_NOT_ASCII)) != FOLDER_NOT_ASCII,
                    reason="the file-system encoding cannot name the folder")
@pytest.mark.parametrize("kind", PATH_KINDS)
def test_names_that_are_not_ascii_are_opened_as_open_opens_them(tmp_path, kind):
    folder = tmp_path / FOLDER_NOT_ASCII
    folder.mkdir()
    opus = OpusFile()
    opus.add_entry(parameters_of("AB"))
    (folder / "Probe ß.0").write_bytes(opus.build())
    path, missing = PATH_KINDS[kind](folder / "Probe ß.0"), PATH_KINDS[kind](folder / "fehlt ü.0")
    assert (korvex.isOpusFile(path), korvex.listContents(path)) == (True, [AB])
    assert_same_error(raised_by(korvex.listContents, missing), raised_by(open, missing, "rb"))


@pytest.mark.parametrize("dir_size", [0, 3])
@pytest.mark.parametrize("offset", [-1, -12, -(2**31)])
def test_negative_directory_offset_raises_what_seeking_there_raises(write_file, offset, dir_size):
    path = write_file(OpusFile(offset_to_directory=offset, dir_size=dir_size).build())
    with open(path, "rb") as f:
        expected = raised_by(f.seek, offset)
    assert_same_error(raised_by(korvex.listContents, str(path)), expected)


def test_magic_test_is_the_module_global_at_call_time(write_file, monkeypatch, tmp_path):
    not_opus = file_with(write_file, [parameters_of("AB")], magic=b"\0\0\0\0")
    calls = []

    def says_yes(path):
        calls.append(path)
        return 1

    monkeypatch.setattr(korvex, "isOpusFile", says_yes)
    assert korvex.listContents(not_opus) == [AB]
    assert calls == [not_opus]

    # A false answer is refused before the file is opened a second time: a missing file gives
    # the listing's own error, not open()'s.
    monkeypatch.setattr(korvex, "isOpusFile", lambda path: [])
    with pytest.raises(ValueError, match="^Can't process a non-Opus file$"):
        korvex.listContents(tmp_path / "missing.opus")

    def fails(path):
        raise KeyError(path)

    monkeypatch.setattr(korvex, "isOpusFile", fails)
    with pytest.raises(KeyError):
        korvex.listContents(not_opus)


# ------------------------------------------------------------------ truncated files

def header_reports(length):
    """The reports of reading the header of a file cut to `length` bytes (at least 4)."""
    reports = [DOUBLE_REPORT] if length < 12 else []
    return reports + [INT_REPORT] * sum(length < end for end in (16, 20, 24))


@pytest.mark.parametrize("length", range(4, 24))
def test_truncated_header_reads_as_zeros_with_a_report_per_field(write_file, unraisable, length):
    whole = OpusFile(offset_to_directory=24, dir_size=1).build()
    assert korvex.listContents(str(write_file(whole[:length]))) == []
    assert unraisable == header_reports(length)


def test_magic_alone_gives_four_reports(write_file, unraisable):
    assert korvex.listContents(str(write_file(MAGIC))) == []
    assert unraisable == [DOUBLE_REPORT] + [INT_REPORT] * 3


@pytest.mark.parametrize("cut, expected, reports", [
    (0, [AB, ("SSC", "2D", "NONE")], 3),            # the next entry lies wholly past the end
    (2, [AB, ("SSC", "2D", "NONE")], 3),            # part of a blockType: read as 0
    (4, [AB, ("SSC", "2D", "NONE"), ("SPOW", "2D", "NONE")], 2),  # the whole blockType
    (10, [AB, ("SSC", "2D", "NONE"), ("SPOW", "2D", "NONE")], 1),
])
def test_directory_walk_stops_at_the_end_of_the_file(write_file, unraisable, cut, expected, reports):
    # dirSize claims 2^31 - 1 entries; the file holds two and `cut` bytes of a third.
    opus = OpusFile(dir_size=2**31 - 1)
    for code in (parameters_of("AB"), parameters_of("SSC"), parameters_of("SPOW"), parameters_of("TR")):
        opus.add_entry(code, 5, 6)
    data = opus.build()[:24 + 24 + cut]
    assert korvex.listContents(str(write_file(data))) == expected
    assert unraisable == [INT_REPORT] * reports


@pytest.mark.parametrize("offset", [100, 2**31 - 1])
def test_directory_past_the_end_reads_one_entry_of_zeros(write_file, unraisable, offset):
    data = OpusFile(offset_to_directory=offset, dir_size=2**31 - 1).build()
    assert korvex.listContents(str(write_file(data))) == []
    assert unraisable == [INT_REPORT] * 3


# ------------------------------------------------------------------ against a model

# Codes near the named ones, so that random directories list something.
INTERESTING_CODES = [parameters_of(name, deriv_type=d, extend_type=e)
                     for name, *_ in DATA_BLOCK_TYPES for d in (0, 3) for e in (0, EXTEND_3D)]
codes = st.one_of(st.sampled_from(INTERESTING_CODES), st.integers(-(2**31), 2**31 - 1))


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(entries=st.lists(codes, max_size=12), extra=st.integers(-3, 3), offset=st.integers(0, 64),
       cut=st.integers(0, 200))
def test_any_directory_lists_as_the_model_does(write_file, monkeypatch, entries, extra, offset, cut):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    opus = OpusFile(dir_size=len(entries) + extra, directory_offset=24 + offset)
    for code in entries:
        opus.add_entry(code)
    data = opus.build()
    data = data[:max(4, len(data) - cut)]
    expected, expected_reports = model_listing(data)
    assert korvex.listContents(str(write_file(data, name="any.opus"))) == expected
    assert len(reports) == expected_reports


# ------------------------------------------------------------------ real files

def test_real_files_list_as_the_model_does(sample_path, unraisable):
    data = sample_path.read_bytes()
    listed = korvex.listContents(str(sample_path))
    assert listed == model_listing(data)[0]
    assert listed and unraisable == []


def test_soil_calibration_file(samples_dir):
    assert korvex.listContents(str(samples_dir / "BF_lo_01_soil_cal.1")) == [
        AB, AB, ("RSC", "2D", "NONE"), ("SSC", "2D", "NONE")]


# ------------------------------------------------------------------ resources

@needs_proc_fd
def test_no_file_stays_open_after_a_result_or_an_error(write_file, unraisable, tmp_path):
    good = str(file_with(write_file, [parameters_of("AB")]))
    failing = [
        (str(write_file(b"\0\0\0\0")), ValueError),
        (str(write_file(MAGIC[:2])), struct.error),
        (str(write_file(OpusFile(offset_to_directory=-1).build())), OSError),
        (str(tmp_path / "missing.opus"), FileNotFoundError),
        (str(tmp_path), DIRECTORY_ERROR),
    ]
    truncated = str(write_file(MAGIC))
    before = open_descriptors()
    for _ in range(100):
        assert korvex.listContents(good) == [AB]
        assert korvex.listContents(truncated) == []
        for path, error in failing:
            with pytest.raises(error):
                korvex.listContents(path)
    assert open_descriptors() == before


def test_file_descriptor_is_opened_as_open_opens_it(write_file, monkeypatch):
    # open() takes a descriptor number too, and its file object closes the descriptor: after the
    # magic test the second opening fails exactly as open() would.
    path = file_with(write_file, [parameters_of("AB")])
    fd = os.open(path, os.O_RDONLY)
    assert_same_error(raised_by(korvex.listContents, fd), raised_by(open, fd, "rb"))

    # With a magic test that leaves the descriptor open, the listing reads through a copy of it and
    # leaves the caller's descriptor open, to its owner.
    monkeypatch.setattr(korvex, "isOpusFile", lambda path: True)
    fd = os.open(path, os.O_RDONLY)
    try:
        assert korvex.listContents(fd) == [AB]
        assert os.fstat(fd).st_ino == os.stat(path).st_ino
    finally:
        os.close(fd)


def read_to_the_end(fd):
    """A magic test that reads the whole file through the descriptor, moving its shared offset."""
    content = b""
    while chunk := os.read(fd, 1 << 16):
        content += chunk
    return content.startswith(MAGIC)


@pytest.mark.parametrize("replaced_test", [
    lambda fd: os.read(fd, 4) == MAGIC,
    read_to_the_end,
    lambda fd: os.lseek(fd, 1 << 40, os.SEEK_SET) > 0,
], ids=["reads the magic", "reads to the end", "seeks past the end"])
def test_descriptor_lists_from_absolute_offsets_whatever_the_test_did_to_its_offset(write_file, monkeypatch,
                                                                                    unraisable, replaced_test):
    # The listing seeks to the header and to the directory as open() and seek() would: the offset
    # that the caller's test left on the shared descriptor plays no part.
    path = write_file(spectrum_file())
    monkeypatch.setattr(korvex, "isOpusFile", replaced_test)
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
    try:
        assert korvex.listContents(fd) == [AB]
    finally:
        os.close(fd)
    assert unraisable == []


@pytest.mark.skipif(sys.platform == "win32", reason="os.open cannot open a directory on Windows")
def test_directory_descriptor_raises_what_open_raises(tmp_path, monkeypatch):
    # Named by the caller's number, as open() names it, not by the call's private copy.
    monkeypatch.setattr(korvex, "isOpusFile", lambda fd: True)
    fd = os.open(tmp_path, os.O_RDONLY)
    try:
        assert_same_error(raised_by(korvex.listContents, fd), raised_by(open, fd, "rb", closefd=False))
    finally:
        os.close(fd)


# Lists a spectrum at the start of a sparse file of 1 GiB by its descriptor, with a replaced magic
# test that leaves it open, and prints the listing and how much the peak resident size grew meanwhile.
LARGE_DESCRIPTOR_CHILD = """
import os, resource, sys
import korvex
korvex.isOpusFile = lambda fd: True
fd = os.open(sys.argv[1], os.O_RDONLY)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
listing = korvex.listContents(fd)
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(listing, grown * (1 if sys.platform == "darwin" else 1024) // 2**20)
"""


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="the resident size says nothing under AddressSanitizer")
def test_descriptor_of_a_large_file_is_read_only_where_the_listing_needs(tmp_path):
    pytest.importorskip("resource", reason="needs resource.getrusage")
    path = tmp_path / "large.0"
    with open(path, "wb") as out:
        out.write(spectrum_file())
        try:
            out.truncate(1 << 30)
        except OSError as error:
            pytest.skip(f"the file system refuses a sparse file of 1 GiB: {error}")
    if hasattr(os.stat_result, "st_blocks") and os.stat(path).st_blocks * 512 > 2**20:
        pytest.skip("the file system does not keep the file sparse")
    run = subprocess.run([sys.executable, "-c", LARGE_DESCRIPTOR_CHILD, str(path)], capture_output=True, text=True,
                         timeout=300)
    assert (run.returncode, run.stderr) == (0, "")
    listing, grown_mib = run.stdout.rsplit(" ", 1)
    assert listing == repr([AB])
    assert int(grown_mib) < 64


@pytest.mark.parametrize("reopened, outcome", [("another file", errno.EBADF), ("the same file", [AB])])
def test_a_descriptor_closed_by_the_magic_test_is_not_read_again(write_file, monkeypatch, reopened, outcome):
    # A replaced magic test closes the descriptor, and a file is opened under the same number before
    # the listing reads: by another thread, here by the test itself. The number is no longer the
    # caller's: the listing neither reads nor closes another file, and raises what opening a closed
    # descriptor raises. The same file under the number reads through the call's own copy.
    path = file_with(write_file, [parameters_of("AB")])
    other = file_with(write_file, [parameters_of("TR")])
    fd = os.open(path, os.O_RDONLY)
    holder = []

    def closing_test(number):
        os.close(number)
        holder.append(os.open(path if reopened == "the same file" else other, os.O_RDONLY))
        return True

    monkeypatch.setattr(korvex, "isOpusFile", closing_test)
    try:
        if outcome == errno.EBADF:
            raised = raised_by(korvex.listContents, fd)
        else:
            assert korvex.listContents(fd) == outcome
        assert holder == [fd]
        assert os.lseek(fd, 0, os.SEEK_CUR) == 0  # still open, and not read through
    finally:
        os.close(holder[0])
    if outcome == errno.EBADF:
        # What open() raises for the number once it is closed, as each system words it.
        assert raised.errno == errno.EBADF
        assert_same_error(raised, raised_by(open, fd, "rb"))
