"""A slow, field-by-field model of reading OPUS files, written from the format's rules, that
randomized tests compare korvex with.

Reads follow a file object's: a value that is not wholly in the data reads as 0, counts one
report and leaves the position at the end. The directory walk ends after an entry that reads
short.
"""

import errno
import os
import struct

import numpy as np

# The data block types: name, dataType code, required sampleType (None: any).
DATA_BLOCK_TYPES = [
    ("REFL", 12, None), ("RAM", 10, None), ("SPOW", 14, 1), ("RPOW", 14, 2), ("SPH", 3, 1),
    ("RPH", 3, 2), ("PAS", 17, None), ("LREFL", 15, None), ("KM", 6, None), ("SIFG", 2, 1),
    ("RIFG", 2, 2), ("TR", 5, None), ("EMIS", 11, None), ("ATR", 16, None), ("TRARI", 18, None),
    ("ABARI", 19, None), ("AB", 4, None), ("TRC", 7, None), ("SSC", 1, 1), ("RSC", 1, 2),
]
FRONT_SET = {"AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS"}
DERIVATIVES = ["NONE", "1DER", "2DER", "3DER"]          # as listed
REQUEST_DERIVATIVES = ["NONE", "1DER", "2DER", "NDER"]  # as requested

# Windows-1252 as browsers decode it: the five bytes the code page leaves undefined are their own
# code points.
UNDEFINED_IN_CP1252 = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def windows_1252(data):
    return "".join(chr(b) if b in UNDEFINED_IN_CP1252 else bytes([b]).decode("cp1252") for b in data)


def fields(code):
    """(sampleType, paramType, dataType, derivType, extendType) of a block type code."""
    return tuple((code >> shift) & mask for shift, mask in ((2, 3), (4, 63), (10, 127), (17, 3), (19, 127)))


def seek_error():
    return OSError(errno.EINVAL, os.strerror(errno.EINVAL))


class Reader:
    def __init__(self, data, position=0):
        self.data = data
        self.position = position
        self.reports = 0

    def bytes(self, count):
        chunk = self.data[self.position:self.position + count]
        self.position += len(chunk)
        return chunk

    def value(self, fmt):
        size = struct.calcsize(fmt)
        chunk = self.bytes(size)
        if len(chunk) < size:
            self.reports += 1
            return 0
        return struct.unpack(fmt, chunk)[0]

    def directory(self):
        """The header's directory entries (blockType, byteOffset), read as far as the walk goes."""
        self.position = 4
        self.value("<d")
        offset, _, dir_size = self.value("<i"), self.value("<i"), self.value("<i")
        if offset < 0:
            raise seek_error()
        self.position = offset
        entries = []
        for _ in range(max(dir_size, 0)):
            before = self.reports
            code, _, byte_offset = self.value("<i"), self.value("<i"), self.value("<i")
            entries.append((code, byte_offset))
            if self.reports != before:
                break
        return entries

    def params(self, offset):
        """The parameter block at `offset` as a dict."""
        if offset < 0:
            raise seek_error()
        self.position = offset
        block = {}
        while True:
            raw = self.bytes(4)
            if len(raw) < 4:
                raise ValueError(f"Unterminated parameter block at offset {offset}")
            label = raw.decode("utf-8").strip("\0")
            if label == "END":
                return block
            type_, size = self.value("<h"), self.value("<h")
            if type_ == 0:
                block[label] = self.value("<i")
            elif type_ == 1:
                block[label] = self.value("<d")
            elif type_ in (2, 3, 4):
                if size < 0:
                    raise ValueError(f"Unterminated parameter block at offset {offset}")
                block[label] = windows_1252(self.bytes(2 * size).split(b"\0")[0])
            else:
                raise ValueError(f"Unexpected value for reading parameter type: {type_}")


def model_listing(data):
    """(listing, number of reports) of `data`, which begins with the magic; the listing is the
    exception raised when the directory cannot be reached."""
    reader = Reader(data)
    front, rest = [], []
    try:
        entries = reader.directory()
    except OSError as error:
        return error, reader.reports
    for code, _ in entries:
        sample_type, param_type, data_type, deriv_type, extend_type = fields(code)
        names = [name for name, dt, st in DATA_BLOCK_TYPES if dt == data_type and st in (None, sample_type)]
        if param_type == 1 and names:
            triple = (names[0], "3D" if extend_type == 10 else "2D", DERIVATIVES[deriv_type])
            (front if names[0] in FRONT_SET else rest).append(triple)
    return front[::-1] + rest, reader.reports


def model_locations(reader, block):
    """The seven offsets the directory scan finds for a valid, upper-case request."""
    name, dimensions, deriv = block
    _, wanted_data, wanted_sample = next(row for row in DATA_BLOCK_TYPES if row[0] == name)
    wanted_sample = -1 if wanted_sample is None else wanted_sample
    extend = 10 if dimensions == "3D" else 0
    derivative = REQUEST_DERIVATIVES.index(deriv)
    found = dict.fromkeys(["data", "params", "original", "acq", "inst", "sample", "ft"], -1)
    for code, offset in reader.directory():
        sample_type, param_type, data_type, deriv_type, extend_type = fields(code)
        of_kind = data_type == wanted_data and extend_type == extend and wanted_sample in (-1, sample_type)
        if of_kind and deriv_type == derivative:
            if param_type in (0, 1):
                found["data" if param_type == 0 else "params"] = offset
        elif of_kind and deriv_type == 0:
            if param_type == 1:
                found["original"] = offset
        elif param_type == 3:
            found["acq"] = offset
        elif param_type == 2:
            if sample_type == wanted_sample or (sample_type == 0 and wanted_sample in (1, -1)):
                found["inst"] = offset
        elif param_type == 10:
            found["sample"] = offset
        elif param_type == 4:
            found["ft"] = offset
    return found


def located_parameters(reader, block):
    """The directory scan and the parameter merge: the blocks found, and the merged parameters."""
    found = model_locations(reader, block)
    if found["data"] == -1 or found["params"] == -1:
        raise ValueError("No data block exists in the file for: " + " ".join(block))
    parameters = reader.params(found["params"])
    for key in ("acq", "inst", "sample", "ft"):
        if found[key] != -1:
            parameters.update(reader.params(found[key]))
    return found, parameters


def model_spectrum(data, block):
    """What getOpusData(path, block) gives for a "2D" request: (x, y, maxY, minY, parameters),
    or the exception it raises; and the number of reports."""
    reader = Reader(data)
    try:
        found, parameters = located_parameters(reader, block)
        npt, fxv, lxv, mxy, mny = (parameters[label] for label in ("NPT", "FXV", "LXV", "MXY", "MNY"))
        refuse_counts_past_file({"NPT": npt}, len(data))
        x = np.linspace(fxv, lxv, npt)
        if found["data"] < 0:
            raise seek_error()
        stored = data[found["data"]:found["data"] + 4 * npt]
        y = np.frombuffer(stored[:len(stored) // 4 * 4], "<f4").astype(np.float32)
        return (x, y, mxy, mny, parameters), reader.reports
    except Exception as error:  # noqa: BLE001 - the model's answer is the exception itself
        return error, reader.reports


def refuse_counts_past_file(counts, size):
    """ValueError for the first int count (in order) that exceeds the file's size in bytes."""
    for label, count in counts.items():
        if type(count) is int and count > size:
            raise ValueError(f"{label} of {count} is more than a file of {size} bytes can hold")


# The parameters of a map request, in the order they are looked up.
MAP_LABELS = ("NPT", "FXV", "LXV", "AOX", "AOY", "DDX", "DDY", "NPX", "NPY", "MXY", "MNY")
# The map geometry that a derivative without one takes from its underived data.
GEOMETRY_LABELS = ("AOX", "AOY", "DDX", "DDY", "NPX", "NPY")
# Bytes of a trace record's info record before its name.
NAME_START = 152


# More trace records than the model walks one by one: maps of no values can be claimed by the
# billion, and the model would hold them all.
MAX_TRACE_RECORDS = 100_000


class TooManyRecords(Exception):
    """The file claims more trace records than the model walks."""


def read_int(f, reader):
    """One little-endian int32 from the file object `f`; a value cut off by the end of the file
    reads as 0 and counts one report in `reader`, leaving the position at the end."""
    chunk = f.read(4)
    if len(chunk) < 4:
        reader.reports += 1
        return 0
    return struct.unpack("<i", chunk)[0]


def lacks_map_geometry(block, values):
    """A derivative whose own parameters give no map (NPX or NPY 0) takes the underived one's."""
    return block[2] != "NONE" and (values["NPX"] == 0 or values["NPY"] == 0)


def underived_geometry(reader, found, block, parameters):
    """The map geometry of the underived data, {label: value} in GEOMETRY_LABELS order, also
    written over the same labels of `parameters`."""
    name, dimensions, deriv = block
    if found["original"] == -1:
        raise ValueError("No underived data block exists in the file for: "
                         + name + " " + dimensions + " " + deriv)
    original = reader.params(found["original"])
    geometry = {label: original[label] for label in GEOMETRY_LABELS}
    parameters.update(geometry)
    return geometry


def map_axes(values):
    """mapX, mapY and x, each NumPy's linspace of its first value, step and count."""
    return {
        "mapX": np.linspace(values["AOX"], values["AOX"] + values["DDX"] * (values["NPX"] - 1), values["NPX"]),
        "mapY": np.linspace(values["AOY"], values["AOY"] + values["DDY"] * (values["NPY"] - 1), values["NPY"]),
        "x": np.linspace(values["FXV"], values["LXV"], values["NPT"]),
    }


def read_store_table(f, reader, offset, file_size):
    """(infoSize, store table) of the map block at `offset`, leaving `f` at its record area.
    The table is a list of (first, second) pairs."""
    f.seek(offset)
    _version, _stored_blocks, block_offset, _block_size, info_size, number_entries = (
        read_int(f, reader) for _ in range(6))
    if number_entries > 0 and offset + 24 + 8 * number_entries > file_size:
        raise ValueError("Store table runs past the end of the file at offset " + str(offset))
    store_table = []
    for _ in range(number_entries):
        first = read_int(f, reader)
        second = read_int(f, reader)
        store_table.append((first, second))
    f.seek(offset + block_offset)
    return info_size, store_table


def read_cube_records(f, store_table, info_size, cube, npx, npt):
    """Each stored spectrum, in reading order, into the next position of `cube` (row by row)."""
    index = 0
    for first, second in store_table:
        if first == -1:
            f.read(second)
            continue
        for _ in range(second - first + 1):
            col = index % npx
            row = index // npx
            values = np.fromfile(f, dtype=np.float32, count=npt)
            row_of_cube = cube[row]
            if len(values) < npt:
                raise ValueError("Data block ends inside record " + str(index))
            row_of_cube[col] = values
            f.read(info_size)
            index += 1


def read_trace_records(f, file_size, store_table, info_size, npx, npy, npt):
    """The stored trace maps, each an npy x npx array, and their names (none when the info
    records are too short to hold one)."""
    maps, names = [], []
    claimed = 0
    for first, second in store_table:
        if first == -1:
            f.read(second)
            continue
        claimed += max(second - first + 1, 0)
        if claimed > MAX_TRACE_RECORDS:
            raise TooManyRecords(claimed)
        for _ in range(second - first + 1):
            if npx * npy == 0 and f.tell() >= file_size:
                raise ValueError("Data block ends inside record " + str(len(maps)))
            maps.append(np.fromfile(f, dtype=np.float32, count=npt).reshape((npy, npx)))
            if info_size >= NAME_START:
                f.read(NAME_START)
                names.append(windows_1252(f.read(info_size - NAME_START).partition(b"\0")[0]))
            else:
                f.read(info_size)
    return maps, names


def model_map(path, data, block):
    """What getOpusData(path, block) gives for a "3D" request, step by step on a real file
    object and real NumPy calls, so that every error is the one the interpreter or NumPy raises.

    `path` holds exactly the bytes `data`; `block` is a valid, upper-case triple with "3D".
    Returns (outcome, reports, printed): outcome is the exception raised, or a dict of the
    result's attributes in the order they are set ("mapX", "mapY", "x", "maxY", "minY", then
    "spectra", or "labels" and "traces" for "TRC", then "parameters"); reports counts the reads
    cut off by the end of the file (directory, parameter blocks, block header, store table);
    printed counts the lines "Orignal mapping coordinates used".

    Four faults of the plain walk are fixed, and the model raises instead:
    - a spectrum record cut short by the end of the file raises ValueError("Data block ends
      inside record K"), K counting the spectrum records from 0, where the record would be
      copied into the cube: after its row is looked up, so a record beyond the grid still fails
      with NumPy's IndexError, and NPX 0 still fails first with ZeroDivisionError;
    - a derivative whose map geometry is missing (NPX or NPY 0) and whose underived data has
      no data parameter block raises ValueError("No underived data block exists in the file
      for: TYPE 3D DERIV") after the line is printed, instead of seeking to -1;
    - a store table of one or more entries that does not wholly fit in the file raises
      ValueError("Store table runs past the end of the file at offset OFFSET"), OFFSET being
      the data block's, before any entry is read;
    - a trace record of a map with no values (NPX or NPY 0) that starts at or past the end of
      the file raises ValueError("Data block ends inside record K"), K counting the trace
      records from 0: such records are not in the file, and a damaged run claims billions.
    """
    reader = Reader(data)
    printed = 0
    try:
        with open(path, "rb") as f:
            found, parameters = located_parameters(reader, block)
            values = {label: parameters[label] for label in MAP_LABELS}
            if lacks_map_geometry(block, values):
                printed += 1
                values.update(underived_geometry(reader, found, block, parameters))
            refuse_counts_past_file({label: values[label] for label in ("NPT", "NPX", "NPY")}, len(data))
            result = {**map_axes(values), "maxY": values["MXY"], "minY": values["MNY"]}
            npt, npx, npy = values["NPT"], values["NPX"], values["NPY"]
            if block[0] == "TRC":
                info_size, store_table = read_store_table(f, reader, found["data"], len(data))
                maps, result["labels"] = read_trace_records(f, len(data), store_table, info_size, npx, npy, npt)
                result["traces"] = np.dstack(maps)
            else:
                # The cube is allocated before the block is read: a cube too large fails first.
                cube = np.zeros((npy, npx, npt), dtype=np.float32)
                info_size, store_table = read_store_table(f, reader, found["data"], len(data))
                read_cube_records(f, store_table, info_size, cube, npx, npt)
                result["spectra"] = cube
            result["parameters"] = parameters
        return result, reader.reports, printed
    except Exception as error:  # noqa: BLE001 - the model's answer is the exception itself
        return error, reader.reports, printed
