"""getOpusData for "3D" blocks: map cubes with their map coordinates, and trace maps with names."""

import contextlib
import io
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import korvex
from checks import INT_REPORT, assert_same_error, needs_proc_fd, open_descriptors, raised_by
from module_texts import MAP_CUBE_DESCRIPTION, TRACE_MAP_DESCRIPTION
from opusmodel import TooManyRecords, model_map
from opuswriter import EXTEND_3D, MapBlock, block_type, float32_block, info_bytes, int32, map_opus_file

CUBE = ("AB", "3D", "NONE")
TRC = ("TRC", "3D", "NONE")
AB, TRACES = 4, 7  # dataType codes

# A 3 x 2 map of 4-point spectra.
GEOMETRY = {"NPT": 4, "FXV": 100.0, "LXV": 400.0, "AOX": 10.0, "AOY": -5.0, "DDX": 2.5, "DDY": 0.5,
            "NPX": 3, "NPY": 2, "MXY": 9.0, "MNY": -1.0}
# A 4 x 2 map per trace record.
TRACE_GEOMETRY = {**GEOMETRY, "NPT": 8, "NPX": 4, "NPY": 2}
ORIGINAL_LINE = "Orignal mapping coordinates used\n"


def record(k, npt):
    """The values of stored record k: distinct from those of every other record."""
    return [100.0 * k + i for i in range(npt)]


def cube_file(records, info_size=8, params=GEOMETRY):
    """A map cube of `records` stored records in one run."""
    return map_opus_file(MapBlock(info_size=info_size).run([record(k, params["NPT"]) for k in range(records)]), params)


def trace_file(block, params=TRACE_GEOMETRY):
    return map_opus_file(block, params, TRACES)


def load(write_file, opus, block=CUBE):
    return korvex.getOpusData(str(write_file(opus.build())), block)


def expected_cube(stored, params=GEOMETRY):
    """The cube holding records 0 .. stored - 1 in reading order, zero elsewhere."""
    npt, npx, npy = params["NPT"], params["NPX"], params["NPY"]
    cube = np.zeros(npy * npx * npt, np.float32)
    for k in range(stored):
        cube[k * npt:(k + 1) * npt] = record(k, npt)
    return cube.reshape(npy, npx, npt)


# ------------------------------------------------------------------ map cubes

def test_a_map_cube_holds_each_record_at_its_row_and_column(write_file):
    result = load(write_file, cube_file(6))
    assert (result.dataType, result.dimension, result.derivative) == CUBE
    assert result.spectra.dtype == np.float32 and result.spectra.flags.c_contiguous
    assert result.spectra.shape == (2, 3, 4)
    for k in range(6):
        assert result.spectra[k // 3][k % 3].tolist() == record(k, 4)
    assert result.mapX.tolist() == [10.0, 12.5, 15.0] and result.mapX.dtype == np.float64
    assert result.mapY.tolist() == [-5.0, -4.5]
    assert result.x.tolist() == [100.0, 200.0, 300.0, 400.0] and result.x.dtype == np.float64
    assert (result.maxY, result.minY) == (9.0, -1.0)
    assert result.parameters == GEOMETRY and list(result.parameters) == list(GEOMETRY)
    assert result.description == str(result) == MAP_CUBE_DESCRIPTION
    assert not any(hasattr(result, name) for name in ("y", "traces", "labels"))
    assert list(vars(result)) == ["dataType", "dimension", "derivative", "description", "mapX", "mapY", "x",
                                  "maxY", "minY", "spectra", "parameters"]


@pytest.mark.parametrize("build, stored", [
    # Two records, 100 bytes skipped, two records: positions 0 to 3 without a gap.
    (lambda b, r: b.run([r(0), r(1)], first=1).skip(100).run([r(2), r(3)], first=3), 4),
    # (5, 4) holds no record, (7, 7) one.
    (lambda b, r: b.entry(5, 4).run([r(0)], first=7), 1),
    # The run's numbers do not place its records.
    (lambda b, r: b.run([r(0), r(1)], first=40), 2),
    # Fewer records than the grid: the rest stays 0.
    (lambda b, r: b.run([r(0), r(1), r(2), r(3)]), 4),
    # No entry at all.
    (lambda b, r: b, 0),
], ids=["skip between runs", "empty and single runs", "numbers ignored", "grid not full", "no entries"])
@pytest.mark.parametrize("info_size", [0, 8])
def test_store_tables(write_file, build, stored, info_size):
    block = build(MapBlock(info_size=info_size), lambda k: record(k, 4))
    result = load(write_file, map_opus_file(block, GEOMETRY))
    assert result.spectra.tobytes() == expected_cube(stored).tobytes()


def test_records_start_at_the_block_offset(write_file):
    block = MapBlock(block_offset=24 + 8 + 40).run([record(0, 4)])
    assert load(write_file, map_opus_file(block, GEOMETRY)).spectra.tobytes() == expected_cube(1).tobytes()


@pytest.mark.parametrize("first, step, count, expected", [
    (10.0, 2.5, 4, [10.0, 12.5, 15.0, 17.5]),
    (5.0, -1.5, 3, [5.0, 3.5, 2.0]),
    (7.0, 3.0, 1, [7.0]),
    (0.1, 0.1, 7, None),  # as linspace spaces them, not first + k * step
    (-3, 2, 5, None),     # int coordinates
])
def test_map_coordinates_are_linspace_of_the_grid(write_file, first, step, count, expected):
    params = {**GEOMETRY, "AOX": first, "DDX": step, "NPX": count, "AOY": first, "DDY": -step, "NPY": count}
    result = load(write_file, cube_file(0, params=params))
    assert result.mapX.tobytes() == np.linspace(first, first + step * (count - 1), count).tobytes()
    assert result.mapY.tobytes() == np.linspace(first, first - step * (count - 1), count).tobytes()
    if expected is not None:
        assert result.mapX.tolist() == expected
    assert result.spectra.shape == (count, count, 4)


def test_a_derived_map_without_geometry_takes_the_underived_one(write_file, capsys):
    merged = {**GEOMETRY, "NPY": 0, "AOX": 1.0}
    original = {"AOX": 50.0, "AOY": 60.0, "DDX": 2.0, "DDY": 3.0, "NPX": 5, "NPY": 4, "NPT": 99, "FXV": 1.0}
    block = MapBlock().run([record(k, 4) for k in range(20)])
    result = load(write_file, map_opus_file(block, merged, deriv_type=1, original=original), ("ab", "3d", "1der"))
    assert capsys.readouterr().out == ORIGINAL_LINE
    assert result.derivative == "1DER"
    assert result.mapX.tolist() == [50.0, 52.0, 54.0, 56.0, 58.0]
    assert result.mapY.tolist() == [60.0, 63.0, 66.0, 69.0]
    assert result.spectra.shape == (4, 5, 4)
    assert result.spectra.tobytes() == expected_cube(20, {**GEOMETRY, "NPX": 5, "NPY": 4}).tobytes()
    # The geometry used shows in the parameters; the rest stays as merged.
    assert result.parameters == {**merged, "AOX": 50.0, "AOY": 60.0, "DDX": 2.0, "DDY": 3.0, "NPX": 5, "NPY": 4}
    assert list(result.parameters) == list(GEOMETRY)


@pytest.mark.parametrize("npx, npy, printed", [
    (0, 2, ORIGINAL_LINE), (3, 0.0, ORIGINAL_LINE), (3, 2, ""), (3.5, 0, ORIGINAL_LINE),
])
def test_the_fallback_runs_when_npx_or_npy_compares_equal_to_0(write_file, capsys, npx, npy, printed):
    original = {"AOX": 0.0, "AOY": 0.0, "DDX": 1.0, "DDY": 1.0, "NPX": 3, "NPY": 2}
    opus = map_opus_file(MapBlock(), {**GEOMETRY, "NPX": npx, "NPY": npy}, deriv_type=2, original=original)
    assert load(write_file, opus, ("AB", "3D", "2DER")).spectra.shape == (2, 3, 4)
    assert capsys.readouterr().out == printed


def test_underived_maps_never_fall_back(write_file, capsys):
    params = {**GEOMETRY, "NPY": 0}
    empty = load(write_file, map_opus_file(MapBlock(), params))
    assert empty.mapY.size == 0 and empty.spectra.shape == (0, 3, 4)
    with pytest.raises(IndexError, match="^index 0 is out of bounds for axis 0 with size 0$"):
        load(write_file, map_opus_file(MapBlock().run([record(0, 4)]), params))
    assert capsys.readouterr().out == ""


def test_a_block_cut_inside_its_header_is_an_empty_cube(write_file, unraisable):
    result = load(write_file, map_opus_file(MapBlock().build()[:10], GEOMETRY))
    assert result.spectra.tobytes() == bytes(2 * 3 * 4 * 4)
    assert unraisable == [INT_REPORT] * 4


def read_error(length):
    """What a file object's read(length) raises."""
    with open(__file__, "rb") as file:
        return raised_by(file.read, length)


def cut_inside_record(index, keep):
    """A cube file cut `keep` values into record `index` (of 4 values)."""
    data = cube_file(4, info_size=0).build()
    return data[:len(data) - 4 * 4 * (4 - index) + 4 * keep]


@pytest.mark.parametrize("make, request_, error, printed", [
    # A record cut short, even to one value, which would otherwise fill the whole spectrum.
    (lambda: cut_inside_record(2, 3), CUBE, ValueError("Data block ends inside record 2"), ""),
    (lambda: cut_inside_record(3, 1), CUBE, ValueError("Data block ends inside record 3"), ""),
    (lambda: cut_inside_record(1, 0), CUBE, ValueError("Data block ends inside record 1"), ""),
    (lambda: map_opus_file(MapBlock(), {**GEOMETRY, "NPX": 0}, deriv_type=1).build(), ("AB", "3D", "1DER"),
     ValueError("No underived data block exists in the file for: AB 3D 1DER"), ORIGINAL_LINE),
    (lambda: map_opus_file(MapBlock(), {**GEOMETRY, "NPX": 0}, deriv_type=1, original={"NPX": 2}).build(),
     ("AB", "3D", "1DER"), KeyError("AOX"), ORIGINAL_LINE),
    (lambda: cube_file(7).build(), CUBE, raised_by(lambda: np.zeros((2, 3, 4))[2]), ""),
    (lambda: cube_file(1, params={**GEOMETRY, "NPX": 0}).build(), CUBE, raised_by(lambda: 0 % 0), ""),
    (lambda: map_opus_file(MapBlock().skip(4).entry(-1, -2).run([record(0, 4)]), GEOMETRY).build(), CUBE,
     read_error(-2), ""),
    (lambda: map_opus_file(MapBlock(info_size=-2).run([record(0, 4)]), GEOMETRY).build(), CUBE,
     read_error(-2), ""),
    # Records of no bytes: the first is placed, then its info record cannot be read.
    (lambda: map_opus_file(MapBlock(info_size=-2).entry(1, 2), {**GEOMETRY, "NPT": 0, "NPX": 1, "NPY": 1}).build(),
     CUBE, read_error(-2), ""),
], ids=["cut inside record 2", "one value of record 3", "record 1 missing", "no underived block",
        "underived block without a label", "beyond the grid", "no columns", "negative skip",
        "negative info size", "negative info size of an empty record"])
def test_map_cube_errors(write_file, capsys, make, request_, error, printed):
    assert_same_error(raised_by(korvex.getOpusData, str(write_file(make())), request_), error)
    assert capsys.readouterr().out == printed


def test_a_skip_of_minus_one_reads_to_the_end(write_file):
    block = MapBlock().run([record(0, 4)]).entry(-1, -1).run([record(1, 4)])
    with pytest.raises(ValueError, match="^Data block ends inside record 1$"):
        load(write_file, map_opus_file(block, GEOMETRY))


def test_a_store_table_past_the_end_of_the_file_is_not_read(write_file, unraisable):
    opus = map_opus_file(MapBlock(number_entries=2**31 - 1).run([record(0, 4)]), GEOMETRY)
    path = write_file(opus.build())
    with pytest.raises(ValueError) as info:
        korvex.getOpusData(str(path), CUBE)
    assert str(info.value) == f"Store table runs past the end of the file at offset {opus.chunks[-1].offset}"
    assert unraisable == []


def test_a_store_table_that_ends_with_the_file_is_read(write_file):
    # The data block is the last thing in the file, and its table of two skip entries ends it.
    data = map_opus_file(MapBlock().skip(0).skip(0), GEOMETRY).build()
    assert korvex.getOpusData(str(write_file(data)), CUBE).spectra.tobytes() == bytes(2 * 3 * 4 * 4)
    with pytest.raises(ValueError, match="^Store table runs past the end of the file at offset "):
        korvex.getOpusData(str(write_file(data[:-1])), CUBE)


def test_missing_labels_raise_key_error_in_lookup_order(write_file):
    for label in GEOMETRY:
        params = {key: value for key, value in GEOMETRY.items() if key != label}
        with pytest.raises(KeyError) as info:
            load(write_file, map_opus_file(MapBlock(), params))
        assert info.value.args == (label,)


def test_runs_of_records_that_read_nothing_cost_nothing(write_file):
    # Each run claims 2**32 records; with NPT 0 and no info record none of them reads a byte.
    huge_run = (-(2**31), 2**31 - 1)
    grid = {**GEOMETRY, "NPT": 0, "NPX": 2**15, "NPY": 2**15}
    with pytest.raises(IndexError, match="^index 32768 is out of bounds for axis 0 with size 32768$"):
        load(write_file, map_opus_file(MapBlock().entry(*huge_run).raw(bytes(2**15)), grid))
    # Maps of no values fit records of no bytes, which cost nothing either.
    empty_maps = {**TRACE_GEOMETRY, "NPT": 0, "NPY": 0}
    result = load(write_file, trace_file(MapBlock().entry(*huge_run).entry(*huge_run).raw(b"\0"), empty_maps), TRC)
    assert result.traces.shape == (0, 4, 2**33) and result.labels == []


def test_trace_records_of_empty_maps_past_the_end_of_the_file_raise(write_file):
    # Each would be an empty map with the empty name: billions of names from a small file.
    empty_maps = {**TRACE_GEOMETRY, "NPT": 0, "NPY": 0}
    block = MapBlock(info_size=160).run([[], []], names=["a", "b"]).entry(-(2**31), 2**31 - 1)
    with pytest.raises(ValueError, match="^Data block ends inside record 2$"):
        load(write_file, trace_file(block, empty_maps), TRC)
    # The first two are whole, and a record cut inside its name keeps what can be read.
    data = trace_file(MapBlock(info_size=160).run([[], [], []], names=["a", "b", "cd"]), empty_maps).build()
    result = korvex.getOpusData(str(write_file(data[:-7])), TRC)
    assert result.labels == ["a", "b", "c"] and result.traces.shape == (0, 4, 3)


def test_an_impossible_cube_raises_numpys_memory_error(write_file):
    # Each count fits a file of a megabyte; the cube of 2^60 values fits no memory.
    params = {**GEOMETRY, "NPX": 2**20, "NPY": 2**20, "NPT": 2**20}
    with pytest.raises(MemoryError):
        load(write_file, map_opus_file(MapBlock().raw(bytes(2**20)), params))


@pytest.mark.parametrize("request_, params, original, refused", [
    (CUBE, {**GEOMETRY, "NPT": 10**6, "NPX": 10**6}, None, "NPT"),
    (TRC, {**TRACE_GEOMETRY, "NPX": 10**6, "NPY": 10**6}, None, "NPX"),
    (CUBE, {**GEOMETRY, "NPY": 10**6}, None, "NPY"),
    # Checked on the geometry taken from the underived data, after the line is printed.
    (("AB", "3D", "1DER"), {**GEOMETRY, "NPX": 0}, {**GEOMETRY, "NPY": 10**6}, "NPY"),
])
def test_map_counts_that_no_file_of_its_size_could_hold_raise(write_file, capsys, request_, params, original,
                                                               refused):
    opus = map_opus_file(MapBlock(), params, TRACES if request_[0] == "TRC" else AB,
                         deriv_type=1 if original else 0, original=original)
    size = len(opus.build())
    with pytest.raises(ValueError) as info:
        load(write_file, opus, request_)
    count = (original or params)[refused]
    assert info.value.args == (f"{refused} of {count} is more than a file of {size} bytes can hold",)
    assert capsys.readouterr().out == (ORIGINAL_LINE if original else "")


def test_map_counts_up_to_the_file_size_and_other_types_keep_their_errors(write_file):
    opus = map_opus_file(MapBlock(), {**GEOMETRY, "NPT": 0, "NPX": 1})
    size = len(opus.build())
    # A count of exactly the size in bytes is taken (no record: the cube is zeros).
    opus = map_opus_file(MapBlock(), {**GEOMETRY, "NPT": 0, "NPX": 1, "NPY": size})
    assert load(write_file, opus).spectra.shape == (size, 1, 0)
    # A float count is left to NumPy, and a missing label is still a KeyError.
    with pytest.raises(TypeError):
        load(write_file, map_opus_file(MapBlock(), {**GEOMETRY, "NPX": 1e9}))
    with pytest.raises(KeyError):
        load(write_file, map_opus_file(MapBlock(), {label: value for label, value in
                                                    {**GEOMETRY, "NPT": 10**9}.items() if label != "MNY"}))


def test_a_negative_data_offset_raises_what_seeking_there_raises(write_file):
    opus = map_opus_file(MapBlock(), GEOMETRY)
    opus.add_entry(block_type(data_type=AB, extend_type=EXTEND_3D), byte_offset=-8)
    with pytest.raises(OSError) as info:
        load(write_file, opus)
    assert info.value.errno == 22 and info.value.filename is None


# ------------------------------------------------------------------ trace maps

def test_trace_maps_stack_along_the_third_axis(write_file):
    names = ["abc", "de", "f"]
    block = MapBlock(info_size=200).run([record(k, 8) for k in range(3)], names=names)
    result = load(write_file, trace_file(block), TRC)
    assert result.traces.shape == (2, 4, 3)
    assert result.traces.dtype == np.float32 and result.traces.flags.c_contiguous
    assert result.traces[1, 0, 2] == record(2, 8)[4]
    for k in range(3):
        assert result.traces[:, :, k].tolist() == np.reshape(record(k, 8), (2, 4)).tolist()
    assert result.labels == names
    assert result.mapX.tolist() == [10.0, 12.5, 15.0, 17.5] and result.mapY.tolist() == [-5.0, -4.5]
    assert len(result.x) == 8 and (result.maxY, result.minY) == (9.0, -1.0)
    assert result.description == str(result) == TRACE_MAP_DESCRIPTION
    assert not hasattr(result, "spectra")
    assert list(vars(result)) == ["dataType", "dimension", "derivative", "description", "mapX", "mapY", "x",
                                  "maxY", "minY", "labels", "traces", "parameters"]


def test_many_traces_of_large_maps_stack_as_dstack_does(write_file):
    # Enough traces and pixels to cross any grouping of traces or pixels the reader uses.
    npx, npy, traces = 50, 61, 70
    maps = np.random.default_rng(5).random((traces, npy * npx), np.float32)
    block = MapBlock(info_size=160).run(maps.tolist(), names=[str(k) for k in range(traces)])
    result = load(write_file, trace_file(block, {**TRACE_GEOMETRY, "NPT": npx * npy, "NPX": npx, "NPY": npy}), TRC)
    assert np.array_equal(result.traces, np.dstack([m.reshape(npy, npx) for m in maps]))
    assert result.labels == [str(k) for k in range(traces)]


@pytest.mark.parametrize("info_size, name, expected", [
    (200, b"abc\0xyz", "abc"),
    (152, None, ""),
    (100, None, None),
    (160, b"12345678", "12345678"),  # no NUL: the whole field
    (153, b"", ""),
    (170, b"CH\xb2 b\xe4nd \x80\x81\x96", "CH\u00b2 b\u00e4nd \u20ac\x81\u2013"),  # Windows-1252, as text values
])
def test_trace_names(write_file, info_size, name, expected):
    info = info_bytes(info_size, name)
    block = MapBlock(info_size=info_size)
    block.entries.append((1, 2))
    block.area.extend([float32_block(record(k, 8)) + info for k in range(2)])
    result = load(write_file, trace_file(block), TRC)
    assert result.labels == ([] if expected is None else [expected] * 2)
    assert result.traces.shape == (2, 4, 2)


def test_a_skip_between_trace_runs_leaves_no_gap(write_file):
    block = (MapBlock(info_size=160).run([record(0, 8)], names=["a"]).skip(12)
             .run([record(1, 8), record(2, 8)], names=["b", "c"], first=9))
    result = load(write_file, trace_file(block), TRC)
    assert result.labels == ["a", "b", "c"]
    assert [result.traces[:, :, k].ravel().tolist() for k in range(3)] == [record(k, 8) for k in range(3)]


@pytest.mark.parametrize("make, error", [
    (lambda: trace_file(MapBlock().run([record(0, 8), record(1, 8)]), {**TRACE_GEOMETRY, "NPT": 6}),
     raised_by(lambda: np.zeros(6).reshape((2, 4)))),
    (lambda: trace_file(MapBlock().run([record(0, 8)]).raw(float32_block([1.0] * 3)).entry(1, 1)),
     raised_by(lambda: np.zeros(3).reshape((2, 4)))),
    (lambda: trace_file(MapBlock().skip(8).entry(5, 4)), raised_by(np.dstack, [])),
], ids=["wrong count", "cut short", "no trace"])
def test_trace_map_errors(write_file, make, error):
    assert_same_error(raised_by(load, write_file, make(), TRC), error)


# ------------------------------------------------------------------ against the model

# Parameter values near the edges: counts of 0, 1 and more, mismatched map sizes, a text value.
map_params = st.fixed_dictionaries({
    "NPT": st.sampled_from([0, 1, 2, 4, 6, 8]), "FXV": st.floats(-1e3, 1e3), "LXV": st.floats(-1e3, 1e3),
    "AOX": st.floats(-10, 10), "AOY": st.sampled_from([0.0, 1.5, -2]), "DDX": st.floats(-3, 3),
    "DDY": st.sampled_from([0.5, -1.0, 0]), "NPX": st.sampled_from([0, 1, 2, 3, 4, 0.0]), "NPY": st.sampled_from([0, 1, 2, 3]),
    "MXY": st.floats(allow_nan=False), "MNY": st.just(-1.0),
})
table_entries = st.one_of(
    st.tuples(st.just("run"), st.integers(0, 4)),
    st.tuples(st.just("run"), st.integers(1, 3)),
    st.tuples(st.just("skip"), st.sampled_from([0, 1, 4, 7, 30])),
    st.tuples(st.just("entry"), st.tuples(st.integers(-3, 5), st.integers(-3, 5))),
)
names = st.one_of(st.none(), st.binary(max_size=10), st.text("abc", max_size=6))
REQUESTS = [CUBE, ("AB", "3D", "1DER"), TRC]


def random_block(info_size, entries, draw_values, draw_name):
    block = MapBlock(info_size=info_size)
    for kind, value in entries:
        if kind == "run":
            records = [draw_values() for _ in range(value)]
            area = b"".join(float32_block(v) + info_of(info_size, draw_name()) for v in records)
            block.entries.append((1, value))
            block.area.append(area)
        elif kind == "skip":
            block.skip(value)
        else:
            block.entry(*value)
    return block


def info_of(info_size, name):
    if info_size < 0:
        return b""
    if info_size < 152 or name is None:
        return info_bytes(info_size)
    raw = name.encode() if isinstance(name, str) else name
    return info_bytes(152) + raw[:info_size - 152].ljust(info_size - 152, b"\0")


def outcome(value):
    """What a call gave, in a form that compares exactly."""
    if isinstance(value, BaseException):
        return type(value), str(value)
    return [(name, (v.dtype.str, v.shape, v.tobytes()) if isinstance(v, np.ndarray) else repr(v))
            for name, v in value.items()]


@settings(max_examples=500, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), request=st.sampled_from(REQUESTS), params=map_params, original=st.none() | map_params,
       info_size=st.sampled_from([0, 4, 100, 152, 156, 160, -1, -2]),
       entries=st.lists(table_entries, max_size=5), extra=st.sampled_from([None] * 6 + [0, 4, 200, -4, -10**6]),
       number_entries=st.sampled_from([None] * 8 + [-1, 0, 1, 3, 8]),
       cut=st.sampled_from([0] * 6 + [1, 5, 30, 100]))
def test_any_map_reads_as_the_model_does(write_file, monkeypatch, data, request, params, original, info_size,
                                         entries, extra, number_entries, cut):
    if request == TRC and isinstance(params["NPX"], int) and data.draw(st.booleans()):
        params = {**params, "NPT": params["NPX"] * params["NPY"]}  # records that are whole maps
    npt = params["NPT"]
    block = random_block(info_size, entries, lambda: data.draw(st.lists(st.floats(width=32), min_size=npt,
                                                                        max_size=npt)),
                         lambda: data.draw(names))
    block.number_entries = number_entries
    if extra is not None and extra >= 0:
        block.block_offset = 24 + 8 * len(block.entries) + extra  # records after a gap
    block_bytes = block.build()
    if extra is not None and extra < 0:
        block_bytes = block_bytes[:8] + int32(extra) + block_bytes[12:]  # records before the block
    data_type = TRACES if request == TRC else AB
    deriv_type = 1 if request[2] == "1DER" else 0
    opus = map_opus_file(block_bytes, params, data_type=data_type, deriv_type=deriv_type,
                    original=original)
    contents = opus.build()
    contents = contents[:len(contents) - cut]
    path = write_file(contents, name="map.opus")

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    printed = io.StringIO()
    with warnings.catch_warnings(), contextlib.redirect_stdout(printed):
        warnings.simplefilter("ignore")
        try:
            result = korvex.getOpusData(str(path), request)
            names_set = ("labels", "traces") if request == TRC else ("spectra",)
            actual = {name: getattr(result, name)
                      for name in ("mapX", "mapY", "x", "maxY", "minY", *names_set, "parameters")}
        except Exception as error:  # noqa: BLE001 - compared with the model's exception
            actual = error
        expected, expected_reports, expected_printed = model_map(str(path), contents, request)
    assume(not isinstance(expected, TooManyRecords))
    assert outcome(actual) == outcome(expected)
    assert len(reports) == expected_reports
    assert printed.getvalue() == ORIGINAL_LINE * expected_printed


# ------------------------------------------------------------------ resources

@needs_proc_fd
def test_no_file_stays_open_after_a_map_or_an_error(write_file, unraisable, capsys):
    good = [(str(write_file(cube_file(6).build())), CUBE),
            (str(write_file(trace_file(MapBlock().run([record(0, 8)])).build())), TRC)]
    failing = [
        (str(write_file(cut_inside_record(2, 1))), CUBE, ValueError),
        (str(write_file(cube_file(7).build())), CUBE, IndexError),
        (str(write_file(trace_file(MapBlock()).build())), TRC, ValueError),
        (str(write_file(map_opus_file(MapBlock(), {**GEOMETRY, "NPX": 0}, deriv_type=1).build())),
         ("AB", "3D", "1DER"), ValueError),
    ]
    before = open_descriptors()
    for _ in range(30):
        for path, block in good:
            korvex.getOpusData(path, block)
        for path, block, error in failing:
            with pytest.raises(error):
                korvex.getOpusData(path, block)
    assert open_descriptors() == before
