"""Builds OPUS files, as bytes, from their parts, for the tests.

Every multi-byte value is little-endian; the only big-endian-looking thing in
a file is the magic number, which is written as its four fixed bytes.

File layout written by ``OpusFile``:

    offset 0   magic             4 bytes  0A 0A FE FE
    offset 4   versionNumber     float64
    offset 12  offsetToDirectory int32    absolute offset of the first entry
    offset 16  maxDirSize        int32
    offset 20  dirSize           int32    number of directory entries
    offset 24  directory         12 bytes per entry: blockType, sizeInWords,
                                 byteOffset (int32 each)
    then       block contents, in the order they were added

Every header field, directory field and offset can be overridden, so damaged
files are built with the same few calls as sound ones.

Parameter record (``param_record``):

    offset 0   label  4 bytes, NUL-padded
    offset 4   type   int16: 0 int32, 1 float64, 2/3/4 text
    offset 6   size   int16, length of the value in 2-byte units
    offset 8   value

Map data block (``MapBlock``), at the block's offset:

    offset 0   version, storedBlocks, blockOffset, blockSize, infoSize,
               numberEntries (int32 each)
    offset 24  store table: numberEntries pairs of int32 (first, second);
               first == -1 skips ``second`` bytes of the record area, any other
               first stands for second - first + 1 stored records
    blockOffset  record area: each stored record is NPT float32 values
               followed by infoSize info bytes (a trace name at info byte 152)
"""

import struct
from pathlib import Path

MAGIC = b"\x0a\x0a\xfe\xfe"
HEADER_SIZE = 24
DIRECTORY_ENTRY_SIZE = 12
DEFAULT_VERSION = 920622.0

# paramType values of the block type code.
DATA_VALUES = 0          # the values of a data block
DATA_PARAMETERS = 1      # the data parameter block that belongs to it
INSTRUMENT_PARAMETERS = 2
ACQUISITION_PARAMETERS = 3
FT_PARAMETERS = 4
SAMPLE_PARAMETERS = 10

# extendType value of a three-dimensional (map) data block.
EXTEND_3D = 10

# Types of parameter records.
INT32 = 0
FLOAT64 = 1
TEXT_TYPES = (2, 3, 4)

# Fillers for bytes that a reader must skip: chosen so that a reader which
# reads them as values or names instead of skipping them gets visible garbage.
SKIP_FILL = b"\xee"


def int32(value):
    """Four bytes holding ``value`` as a 32-bit two's complement integer.

    Accepts -2**31 .. 2**32 - 1, so both -1 and 0xFFFFFFFF give FF FF FF FF.
    """
    if not -(2**31) <= value < 2**32:
        raise ValueError(f"{value} does not fit in 32 bits")
    return struct.pack("<I", value & 0xFFFFFFFF)


def int16(value):
    """Two bytes holding ``value`` as a 16-bit two's complement integer."""
    if not -(2**15) <= value < 2**16:
        raise ValueError(f"{value} does not fit in 16 bits")
    return struct.pack("<H", value & 0xFFFF)


# (shift, mask) of each field of a block type code.
BLOCK_TYPE_FIELDS = {
    "complex_type": (0, 3),
    "sample_type": (2, 3),
    "param_type": (4, 63),
    "data_type": (10, 127),
    "deriv_type": (17, 3),
    "extend_type": (19, 127),
}


def block_type(data_type=0, param_type=0, sample_type=0, complex_type=0,
               deriv_type=0, extend_type=0):
    """The block type code made of the given fields (bits 26 to 31 stay 0)."""
    values = {
        "complex_type": complex_type,
        "sample_type": sample_type,
        "param_type": param_type,
        "data_type": data_type,
        "deriv_type": deriv_type,
        "extend_type": extend_type,
    }
    code = 0
    for name, value in values.items():
        shift, mask = BLOCK_TYPE_FIELDS[name]
        if not 0 <= value <= mask:
            raise ValueError(f"{name} {value} is outside 0..{mask}")
        code |= value << shift
    return code


# ---------------------------------------------------------------- parameters

def _label_bytes(label):
    raw = label.encode("utf-8") if isinstance(label, str) else bytes(label)
    if len(raw) > 4:
        raise ValueError(f"label {label!r} is longer than 4 bytes")
    return raw.ljust(4, b"\0")


def text_value(text):
    """The value bytes of a text record: ``text`` NUL-padded to an even length.

    ``text`` is a str (encoded as ASCII) or bytes (written as given, so tests
    can store bytes that are not ASCII or that hold NULs of their own).
    """
    raw = text.encode("ascii") if isinstance(text, str) else bytes(text)
    return raw + b"\0" * (len(raw) % 2)


def param_record(label, type_, value=None, size=None):
    """One parameter record.

    ``label``: str or bytes of at most 4 bytes, NUL-padded to 4.
    ``type_``: 0 (``value`` an int, written as int32), 1 (``value`` a float,
    written as float64), 2, 3 or 4 (``value`` a str or bytes, see
    ``text_value``), or any other 16-bit code, for which ``value`` is the raw
    value bytes (default none).
    ``size``: the size field; by default the length of the value in 2-byte
    units (2 for int32, 4 for float64).  An explicit size changes only the
    field, never the value bytes written, so a record can misstate its size.
    """
    if type_ == INT32:
        payload = int32(value)
    elif type_ == FLOAT64:
        payload = struct.pack("<d", value)
    elif type_ in TEXT_TYPES:
        payload = text_value(value)
    else:
        payload = b"" if value is None else bytes(value)
    if size is None:
        size = len(payload) // 2
    return _label_bytes(label) + int16(type_) + int16(size) + payload


def end_record():
    """The record that ends a parameter block: label END, type 0, size 0.
    (A reader stops after the label; the rest is what real files hold.)"""
    return _label_bytes("END") + int16(INT32) + int16(0)


def param_block(records, end=True):
    """A parameter block: the records in order, then the END record.

    Each item of ``records`` is either bytes (a record built already, written
    as is) or a tuple of ``param_record`` arguments: (label, type, value) or
    (label, type, value, size).  ``end=False`` leaves out the END record.
    """
    parts = [r if isinstance(r, (bytes, bytearray)) else param_record(*r)
             for r in records]
    if end:
        parts.append(end_record())
    return b"".join(parts)


def param_block_from_dict(values, end=True):
    """A parameter block from {label: value}: int as type 0, float as type 1,
    str as type 2."""
    records = []
    for label, value in values.items():
        if isinstance(value, bool):
            raise TypeError("bool is not a parameter value")
        if isinstance(value, int):
            records.append((label, INT32, value))
        elif isinstance(value, float):
            records.append((label, FLOAT64, value))
        elif isinstance(value, str):
            records.append((label, 2, value))
        else:
            raise TypeError(f"no parameter type for {value!r}")
    return param_block(records, end=end)


# ---------------------------------------------------------------- data blocks

def float32_block(values):
    """Little-endian float32 values, back to back."""
    values = list(values)
    return struct.pack(f"<{len(values)}f", *values)


def map_header(version, stored_blocks, block_offset, block_size, info_size,
               number_entries):
    """The 24-byte header of a map data block."""
    return b"".join(int32(v) for v in (version, stored_blocks, block_offset,
                                        block_size, info_size, number_entries))


def store_table(entries):
    """Store table entries, each a pair (first, second) of int32."""
    return b"".join(int32(first) + int32(second) for first, second in entries)


def info_bytes(info_size, name=None):
    """An info record of ``info_size`` bytes.

    Bytes 0 to 151 hold a filler of letters.  From byte 152 on: ``name``
    (str as ASCII, or bytes as given) followed by NULs, or NULs only when
    ``name`` is None.  A record shorter than 152 bytes is all filler.
    """
    filler = bytes(0x41 + i % 26 for i in range(min(info_size, 152)))
    tail_size = max(info_size - 152, 0)
    if name is None:
        return filler + b"\0" * tail_size
    raw = name.encode("ascii") if isinstance(name, str) else bytes(name)
    if info_size < 152 or len(raw) > tail_size:
        raise ValueError(f"name {name!r} does not fit in {info_size} info bytes")
    return filler + raw.ljust(tail_size, b"\0")


def map_record(values, info_size=0, name=None, info=None):
    """One stored record: the float32 values, then the info record.

    ``info`` gives the raw info bytes (any length); otherwise they are
    ``info_bytes(info_size, name)``.
    """
    if info is None:
        info = info_bytes(info_size, name)
    return float32_block(values) + bytes(info)


class MapBlock:
    """A map data block: header, store table and record area.

    Add the contents in reading order with ``run`` (stored records, one run
    entry), ``skip`` (a skip entry and the bytes it skips), ``entry`` (a raw
    store table entry with no record area bytes) and ``raw`` (record area
    bytes with no entry).  Header fields left as None are derived:
    ``block_offset`` = 24 + 8 * entries (records right after the table),
    ``number_entries`` = the number of entries, ``stored_blocks`` = the number
    of records added by ``run``, ``block_size`` = the length of the first
    such record (0 when there is none).
    """

    def __init__(self, info_size=0, version=1, stored_blocks=None,
                 block_offset=None, block_size=None, number_entries=None):
        self.info_size = info_size
        self.version = version
        self.stored_blocks = stored_blocks
        self.block_offset = block_offset
        self.block_size = block_size
        self.number_entries = number_entries
        self.entries = []
        self.area = []
        self.records = 0
        self.first_record_size = 0

    def run(self, records, first=1, names=None):
        """One run entry (first, first + len(records) - 1) and its records.

        Each item of ``records`` is a sequence of float values; ``names``
        gives the trace names of the records, one per record (None for none).
        """
        records = list(records)
        names = [None] * len(records) if names is None else list(names)
        self.entries.append((first, first + len(records) - 1))
        for values, name in zip(records, names, strict=True):
            record = map_record(values, self.info_size, name)
            if not self.records:
                self.first_record_size = len(record)
            self.records += 1
            self.area.append(record)
        return self

    def skip(self, nbytes, fill=SKIP_FILL):
        """A skip entry (-1, nbytes) and ``nbytes`` bytes of filler."""
        self.entries.append((-1, nbytes))
        self.area.append(fill * nbytes)
        return self

    def entry(self, first, second):
        """A raw store table entry; no record area bytes are added."""
        self.entries.append((first, second))
        return self

    def raw(self, data):
        """Bytes appended to the record area; no store table entry."""
        self.area.append(bytes(data))
        return self

    def header(self):
        table_end = HEADER_SIZE + 8 * len(self.entries)
        return map_header(
            self.version,
            self.records if self.stored_blocks is None else self.stored_blocks,
            table_end if self.block_offset is None else self.block_offset,
            self.first_record_size if self.block_size is None else self.block_size,
            self.info_size,
            len(self.entries) if self.number_entries is None else self.number_entries,
        )

    def build(self):
        """The block's bytes.  A ``block_offset`` beyond the store table puts
        zero bytes between table and records; one inside it is refused."""
        head = self.header() + store_table(self.entries)
        start = len(head) if self.block_offset is None else self.block_offset
        if start < len(head):
            raise ValueError("block_offset lies inside the header or store table")
        return head + b"\0" * (start - len(head)) + b"".join(self.area)


# ---------------------------------------------------------------- whole files

class Chunk:
    """Bytes placed in the file; ``offset`` is set by ``OpusFile.build``."""

    def __init__(self, data, at=None):
        self.data = bytes(data)
        self.at = at
        self.offset = None


class Entry:
    """One directory entry.

    ``byte_offset``: an int, or a Chunk whose placed offset is written.
    ``size_in_words``: an int, or None for the length of ``chunk`` (the
    contents the entry was added with) in 4-byte words, rounded up; 0 when
    there is no such chunk.
    """

    def __init__(self, block_type, size_in_words, byte_offset, chunk=None):
        self.block_type = block_type
        self.size_in_words = size_in_words
        self.byte_offset = byte_offset
        self.chunk = chunk

    def resolved(self):
        """(blockType, sizeInWords, byteOffset) as written to the file."""
        size = self.size_in_words
        if size is None:
            size = 0 if self.chunk is None else -(-len(self.chunk.data) // 4)
        offset = self.byte_offset
        if isinstance(offset, Chunk):
            offset = offset.offset
        return self.block_type, size, offset


class OpusFile:
    """An OPUS file made of a header, a directory and blocks.

    Header fields left as None are derived: ``offset_to_directory`` = where
    the directory is placed, ``dir_size`` and ``max_dir_size`` = the number
    of entries.  ``magic`` replaces the four magic bytes (to cut a file
    short, slice what ``build`` returns).

    ``directory_offset`` places the directory: an int (default 24, right
    after the header; a larger value leaves zero bytes before it) or "end"
    (after every block).  Blocks follow the directory in the order added,
    back to back, unless given an absolute position with ``at``.
    """

    def __init__(self, *, magic=MAGIC, version_number=DEFAULT_VERSION,
                 offset_to_directory=None, max_dir_size=None, dir_size=None,
                 directory_offset=HEADER_SIZE):
        if len(magic) != 4:
            raise ValueError("the magic field is four bytes")
        self.magic = bytes(magic)
        self.version_number = version_number
        self.offset_to_directory = offset_to_directory
        self.max_dir_size = max_dir_size
        self.dir_size = dir_size
        self.directory_offset = directory_offset
        self.entries = []
        self.chunks = []

    def add_block(self, block_type, data, *, size_in_words=None,
                  byte_offset=None, at=None):
        """Add a block's contents and its directory entry; returns the Chunk.

        ``byte_offset`` makes the entry point elsewhere than the contents;
        ``at`` places the contents at that absolute file position.
        """
        chunk = self.add_data(data, at=at)
        self.entries.append(Entry(
            block_type, size_in_words,
            chunk if byte_offset is None else byte_offset, chunk))
        return chunk

    def add_entry(self, block_type, size_in_words=0, byte_offset=0):
        """Add a directory entry with no contents of its own.
        ``byte_offset`` may be a Chunk returned by ``add_block``/``add_data``."""
        self.entries.append(Entry(block_type, size_in_words, byte_offset))

    def add_data(self, data, *, at=None):
        """Add bytes that no directory entry names (unless one is given the
        returned Chunk)."""
        chunk = Chunk(data, at)
        self.chunks.append(chunk)
        return chunk

    def _place(self, out, chunk):
        if chunk.at is not None:
            if chunk.at < len(out):
                raise ValueError(f"position {chunk.at} is already written")
            out += b"\0" * (chunk.at - len(out))
        chunk.offset = len(out)
        out += chunk.data

    def build(self):
        """The file's bytes."""
        count = len(self.entries)
        directory_size = DIRECTORY_ENTRY_SIZE * count
        out = bytearray(HEADER_SIZE)  # header written last
        if self.directory_offset == "end":
            for chunk in self.chunks:
                self._place(out, chunk)
            directory_at = len(out)
        else:
            directory_at = self.directory_offset
            if directory_at < HEADER_SIZE:
                raise ValueError("the directory cannot overlap the header")
            out += b"\0" * (directory_at - HEADER_SIZE + directory_size)
            for chunk in self.chunks:
                self._place(out, chunk)
        directory = b"".join(
            int32(code) + int32(size) + int32(offset)
            for code, size, offset in (e.resolved() for e in self.entries))
        out[directory_at:directory_at + directory_size] = directory
        header = (
            self.magic
            + struct.pack("<d", self.version_number)
            + int32(directory_at if self.offset_to_directory is None
                    else self.offset_to_directory)
            + int32(count if self.max_dir_size is None else self.max_dir_size)
            + int32(count if self.dir_size is None else self.dir_size)
        )
        out[:HEADER_SIZE] = header
        return bytes(out)

    def write(self, path):
        """Write the file to ``path``; returns ``path`` as a Path."""
        path = Path(path)
        path.write_bytes(self.build())
        return path


def map_opus_file(block, params, data_type=4, deriv_type=0, original=None, *, opus=None):
    """An OpusFile with a "3D" data block and its data parameter block.

    ``block``: a MapBlock or the data block's raw bytes.  ``params``: the data
    parameter block, as for ``param_block_from_dict``.  ``data_type``: the
    dataType code (4, AB, by default; 7 for trace maps).  ``original`` adds the
    data parameter block of the underived data.  ``opus`` adds the blocks to
    that file instead of a new one, so that a file can hold several maps.
    The data block is added last, so that cutting the file cuts it.
    """
    opus = OpusFile() if opus is None else opus
    opus.add_block(block_type(data_type=data_type, param_type=DATA_PARAMETERS, extend_type=EXTEND_3D,
                              deriv_type=deriv_type),
                   param_block_from_dict(params))
    if original is not None:
        opus.add_block(block_type(data_type=data_type, param_type=DATA_PARAMETERS, extend_type=EXTEND_3D),
                       param_block_from_dict(original))
    opus.add_block(block_type(data_type=data_type, extend_type=EXTEND_3D, deriv_type=deriv_type),
                   block if isinstance(block, bytes) else block.build())
    return opus
