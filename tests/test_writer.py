"""The test file writer puts every field where the OPUS layout has it.

Later tests build their files with opuswriter, so its output is pinned here
by decoding it independently with struct.
"""

import struct

import pytest

from opuswriter import (
    MAGIC,
    MapBlock,
    OpusFile,
    block_type,
    float32_block,
    map_record,
    param_block,
    param_block_from_dict,
    param_record,
)


@pytest.mark.parametrize(
    "fields, code",
    [
        ({"data_type": 4, "param_type": 1}, 0x1010),
        ({"data_type": 4}, 0x1000),
        ({"data_type": 4, "param_type": 1, "extend_type": 10}, 0x501010),
        ({"data_type": 4, "param_type": 1, "deriv_type": 1}, 0x21010),
        ({"data_type": 14, "param_type": 1, "sample_type": 1}, 0x3814),
        ({"data_type": 1, "param_type": 1, "sample_type": 1, "complex_type": 1}, 0x415),
        ({"data_type": 127, "param_type": 63, "sample_type": 3, "complex_type": 3,
          "deriv_type": 3, "extend_type": 127}, 0x3FFFFFF),
    ],
)
def test_block_type_packs_fields_at_their_bits(fields, code):
    assert block_type(**fields) == code


@pytest.mark.parametrize("field, value", [("deriv_type", 4), ("param_type", 64), ("data_type", -1)])
def test_block_type_refuses_values_outside_a_field(field, value):
    with pytest.raises(ValueError):
        block_type(**{field: value})


def test_header_and_directory_layout():
    f = OpusFile(version_number=920622.0)
    first = f.add_block(0x1010, b"\x01" * 6)
    second = f.add_block(0x1000, b"\x02" * 8)
    f.add_entry(0x30, 7, second)
    f.add_entry(-1, -2, 0x7FFFFFFF)
    data = f.build()

    assert data[:4] == b"\x0a\x0a\xfe\xfe"
    assert struct.unpack_from("<diii", data, 4) == (920622.0, 24, 4, 4)
    entries = [struct.unpack_from("<iii", data, 24 + 12 * i) for i in range(4)]
    directory_end = 24 + 12 * 4
    assert entries == [
        (0x1010, 2, directory_end),
        (0x1000, 2, directory_end + 6),
        (0x30, 7, directory_end + 6),
        (-1, -2, 0x7FFFFFFF),
    ]
    assert (first.offset, second.offset) == (directory_end, directory_end + 6)
    assert data[directory_end:] == b"\x01" * 6 + b"\x02" * 8


@pytest.mark.parametrize(
    "options, header",
    [
        ({"magic": b"\xfe\xfe\x0a\x0a"}, (b"\xfe\xfe\x0a\x0a", 920622.0, 24, 1, 1)),
        ({"version_number": -1.5}, (MAGIC, -1.5, 24, 1, 1)),
        ({"offset_to_directory": -4}, (MAGIC, 920622.0, -4, 1, 1)),
        ({"max_dir_size": 0x7FFFFFFF}, (MAGIC, 920622.0, 24, 0x7FFFFFFF, 1)),
        ({"dir_size": -5}, (MAGIC, 920622.0, 24, 1, -5)),
    ],
)
def test_header_fields_can_be_overridden(options, header):
    f = OpusFile(**options)
    f.add_block(0x1000, b"abcd")
    data = f.build()
    assert struct.unpack_from("<4sdiii", data) == header
    # The directory and the block stay where they are.
    assert struct.unpack_from("<iii", data, 24) == (0x1000, 1, 36)
    assert data[36:] == b"abcd"


def test_blocks_placed_explicitly_or_with_a_misstated_offset():
    f = OpusFile(directory_offset=40)
    f.add_block(0x1000, b"xy", byte_offset=999, size_in_words=12)
    f.add_block(0x1010, b"zz", at=100)
    data = f.build()
    assert struct.unpack_from("<iii", data, 12) == (40, 2, 2)
    assert data[24:40] == bytes(16)
    assert [struct.unpack_from("<iii", data, 40 + 12 * i) for i in range(2)] == [
        (0x1000, 12, 999),
        (0x1010, 1, 100),
    ]
    assert data[64:66] == b"xy"
    assert data[66:100] == bytes(34)
    assert data[100:] == b"zz"


def test_directory_placed_at_the_end():
    f = OpusFile(directory_offset="end")
    f.add_block(0x1000, b"12345678")
    data = f.build()
    assert struct.unpack_from("<iii", data, 12) == (32, 1, 1)
    assert data[24:32] == b"12345678"
    assert struct.unpack_from("<iii", data, 32) == (0x1000, 2, 24)
    assert len(data) == 44


@pytest.mark.parametrize(
    "args, expected",
    [
        (("NPT", 0, 2048), b"NPT\0" + struct.pack("<hhi", 0, 2, 2048)),
        (("MNY", 0, -1), b"MNY\0" + struct.pack("<hh", 0, 2) + b"\xff\xff\xff\xff"),
        (("FXV", 1, 7498.5), b"FXV\0" + struct.pack("<hhd", 1, 4, 7498.5)),
        (("DXU", 2, "WN"), b"DXU\0" + struct.pack("<hh", 2, 1) + b"WN"),
        (("SNM", 3, "abc"), b"SNM\0" + struct.pack("<hh", 3, 2) + b"abc\0"),
        (("EXP", 4, ""), b"EXP\0" + struct.pack("<hh", 4, 0)),
        (("INS", 2, b"abc\0wxyz"), b"INS\0" + struct.pack("<hh", 2, 4) + b"abc\0wxyz"),
        (("NPT", 0, 5, 4), b"NPT\0" + struct.pack("<hhi", 0, 4, 5)),
        (("TXT", 2, "ab", 9), b"TXT\0" + struct.pack("<hh", 2, 9) + b"ab"),
        (("BAD", 5), b"BAD\0" + struct.pack("<hh", 5, 0)),
        (("BAD", 0xFFFF, b"\x01\x02"), b"BAD\0" + struct.pack("<hh", -1, 1) + b"\x01\x02"),
        ((b"\0NPT", 0, 1), b"\0NPT" + struct.pack("<hhi", 0, 2, 1)),
        (("AB", 0, 1), b"AB\0\0" + struct.pack("<hhi", 0, 2, 1)),
    ],
)
def test_parameter_record_layout(args, expected):
    assert param_record(*args) == expected


def test_parameter_block_layout():
    records = [("NPT", 0, 3), param_record("DXU", 2, "WN")]
    body = param_record("NPT", 0, 3) + param_record("DXU", 2, "WN")
    assert param_block(records) == body + b"END\0" + bytes(4)
    assert param_block(records, end=False) == body
    assert param_block([]) == b"END\0" + bytes(4)
    assert param_block_from_dict({"NPT": 3, "FXV": 1.0, "DXU": "WN"}) == (
        param_record("NPT", 0, 3) + param_record("FXV", 1, 1.0)
        + param_record("DXU", 2, "WN") + b"END\0" + bytes(4)
    )


def test_float32_block_layout():
    assert float32_block([1.0, -2.5, 0.0]) == struct.pack("<3f", 1.0, -2.5, 0.0)
    assert float32_block([]) == b""


def test_map_block_header_store_table_and_records():
    block = (
        MapBlock(info_size=4)
        .run([[1.0, 2.0], [3.0, 4.0]])
        .skip(3)
        .run([[5.0, 6.0]], first=7)
        .run([], first=9)
    )
    data = block.build()
    header = struct.unpack_from("<6i", data)
    table = [struct.unpack_from("<2i", data, 24 + 8 * i) for i in range(4)]
    assert header == (1, 3, 56, 12, 4, 4)
    assert table == [(1, 2), (-1, 3), (7, 7), (9, 8)]
    info = b"ABCD"
    assert data[56:] == (
        struct.pack("<2f", 1.0, 2.0) + info
        + struct.pack("<2f", 3.0, 4.0) + info
        + b"\xee" * 3
        + struct.pack("<2f", 5.0, 6.0) + info
    )


def test_map_block_header_overrides_and_raw_parts():
    block = MapBlock(version=7, stored_blocks=99, block_offset=40, block_size=-1,
                     number_entries=-3)
    block.entry(-1, 5).raw(b"\x01\x02")
    data = block.build()
    assert struct.unpack_from("<6i", data) == (7, 99, 40, -1, 0, -3)
    assert struct.unpack_from("<2i", data, 24) == (-1, 5)
    assert data[32:40] == bytes(8)
    assert data[40:] == b"\x01\x02"


@pytest.mark.parametrize(
    "info_size, name, info",
    [
        (152, None, bytes(0x41 + i % 26 for i in range(152))),
        (160, "abc", bytes(0x41 + i % 26 for i in range(152)) + b"abc" + bytes(5)),
        (160, None, bytes(0x41 + i % 26 for i in range(152)) + bytes(8)),
        (155, "xyz", bytes(0x41 + i % 26 for i in range(152)) + b"xyz"),
        (10, None, b"ABCDEFGHIJ"),
    ],
)
def test_map_record_info_with_trace_name(info_size, name, info):
    assert map_record([0.5], info_size, name) == struct.pack("<f", 0.5) + info
