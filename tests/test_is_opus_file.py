"""isOpusFile: the magic number test on a file's first four bytes."""

import errno
import os
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvex
from checks import DIRECTORY_ERROR, PATH_KINDS, assert_same_error, needs_proc_fd, open_descriptors, raised_by
from opuswriter import MAGIC, OpusFile, block_type, param_block

REVERSED_MAGIC = b"\xfe\xfe\x0a\x0a"


def whole_file():
    f = OpusFile()
    f.add_block(block_type(data_type=4, param_type=1), param_block([("NPT", 0, 1)]))
    return f.build()


@pytest.mark.parametrize(
    "content, expected",
    [
        (MAGIC, True),
        (MAGIC + b"\x00", True),
        (MAGIC + bytes(range(256)) * 4, True),
        (whole_file(), True),
        (REVERSED_MAGIC, False),
        (b"\x0a\x0a\xfe\xff", False),
        (b"\x0b\x0a\xfe\xfe", False),
        (bytes(4), False),
        (b"\xff" * 4, False),
        (b"\x00" + MAGIC, False),
        (REVERSED_MAGIC + MAGIC, False),
        (b"OPUS file", False),
    ],
    ids=lambda v: v.hex()[:20] if isinstance(v, bytes) else None,
)
def test_result_depends_on_the_first_four_bytes_only(write_file, content, expected):
    assert korvex.isOpusFile(str(write_file(content))) is expected


@pytest.mark.parametrize("content", [b"", b"\x0a", b"\x0a\x0a", b"\x0a\x0a\xfe"])
def test_file_shorter_than_the_magic_raises_the_unpack_error(write_file, content):
    with pytest.raises(struct.error) as reference:
        struct.unpack(">i", content)
    with pytest.raises(struct.error) as info:
        korvex.isOpusFile(str(write_file(content)))
    assert type(info.value) is struct.error
    assert str(info.value) == str(reference.value) == "unpack requires a buffer of 4 bytes"


@pytest.mark.parametrize("kind", PATH_KINDS)
def test_missing_file_raises_what_open_raises(tmp_path, kind):
    path = PATH_KINDS[kind](tmp_path / "missing.opus")
    expected = raised_by(open, path, "rb")
    actual = raised_by(korvex.isOpusFile, path)
    assert_same_error(actual, expected)
    assert type(actual) is FileNotFoundError and actual.errno == errno.ENOENT


def test_directory_raises_what_open_raises(tmp_path):
    expected = raised_by(open, str(tmp_path), "rb")
    actual = raised_by(korvex.isOpusFile, str(tmp_path))
    assert_same_error(actual, expected)
    assert type(actual) is DIRECTORY_ERROR


@pytest.mark.parametrize("argument", [None, 1.5, bytearray(b"file.opus"), ["file.opus"]],
                         ids=lambda v: type(v).__name__)
def test_argument_that_is_not_a_path_raises_what_open_raises(tmp_path, monkeypatch, argument):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "file.opus").write_bytes(MAGIC)
    assert_same_error(raised_by(korvex.isOpusFile, argument), raised_by(open, argument, "rb"))


@pytest.mark.parametrize("kind", PATH_KINDS)
def test_every_kind_of_path_is_accepted(write_file, kind):
    opus = PATH_KINDS[kind](write_file(MAGIC + b"rest"))
    other = PATH_KINDS[kind](write_file(REVERSED_MAGIC + b"rest"))
    assert (korvex.isOpusFile(opus), korvex.isOpusFile(other)) == (True, False)


def test_file_descriptor_goes_to_open_which_closes_it(write_file):
    # open() takes a descriptor number as well as a path, and the file object
    # made from it closes the descriptor.
    fd = os.open(write_file(MAGIC), os.O_RDONLY)
    try:
        assert korvex.isOpusFile(fd) is True
        with pytest.raises(OSError) as info:
            os.fstat(fd)
        assert info.value.errno == errno.EBADF
    finally:
        try:
            os.close(fd)
        except OSError:
            pass


@pytest.mark.parametrize("name", ["unpack", "np", "array"])
def test_rebinding_module_names_changes_nothing(write_file, monkeypatch, name):
    # unpack, np and array stay bound for callers that use them; the reading itself is native.
    monkeypatch.setattr(korvex, name, None)
    assert korvex.isOpusFile(str(write_file(MAGIC))) is True
    with pytest.raises(struct.error):
        korvex.isOpusFile(str(write_file(MAGIC[:3])))


def test_real_files_are_opus_files(sample_path):
    assert korvex.isOpusFile(str(sample_path)) is True


@needs_proc_fd
def test_no_file_stays_open_after_a_result_or_an_error(write_file, tmp_path):
    opus = str(write_file(MAGIC))
    other = str(write_file(REVERSED_MAGIC))
    short = str(write_file(b"\x0a\x0a"))
    failing = [
        (short, struct.error),
        (str(tmp_path / "missing.opus"), FileNotFoundError),
        (str(tmp_path), DIRECTORY_ERROR),
        (None, TypeError),
    ]

    before = open_descriptors()
    for _ in range(100):
        assert korvex.isOpusFile(opus) is True
        assert korvex.isOpusFile(other) is False
        for argument, error in failing:
            with pytest.raises(error):
                korvex.isOpusFile(argument)
    assert open_descriptors() == before


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(content=st.one_of(st.binary(max_size=64), st.binary(max_size=60).map(lambda rest: MAGIC + rest)))
def test_any_content_answers_as_unpacking_its_first_four_bytes_does(write_file, content):
    path = write_file(content, name="any.opus")
    if len(content) < 4:
        with pytest.raises(struct.error, match="^unpack requires a buffer of 4 bytes$"):
            korvex.isOpusFile(path)
    else:
        assert korvex.isOpusFile(path) is (struct.unpack(">i", content[:4])[0] == 168492798)
