"""getOpusData for single spectra: the request, the directory scan, parameter blocks and the result."""

import operator
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import korvex
from checks import INT_REPORT, SHORT_REPORT, assert_same_error, needs_proc_fd, open_descriptors, raised_by
from module_texts import SPECTRUM_DESCRIPTION
from opusmodel import model_spectrum, windows_1252
from opuswriter import (OpusFile, block_type, end_record, float32_block, int16, int32, param_block,
                        param_block_from_dict, param_record)

AB = ("AB", "2D", "NONE")
AB_DATA, AB_PARAMS = 0x1000, 0x1010

# The data parameters of a 3-point spectrum from 10 to 30.
SPECTRUM = {"NPT": 3, "FXV": 10.0, "LXV": 30.0, "MXY": 3.5, "MNY": 0.5}
VALUES = [1.0, 2.0, 3.0]


def spectrum(params=None, values=VALUES, data_code=AB_DATA, params_code=AB_PARAMS):
    """An OpusFile holding one data block and its data parameter block: `params` as a dict
    (SPECTRUM by default), or the block's bytes, written as given."""
    params = SPECTRUM if params is None else params
    opus = OpusFile()
    opus.add_block(data_code, float32_block(values))
    opus.add_block(params_code, params if isinstance(params, bytes) else param_block_from_dict(params))
    return opus


def load(write_file, opus, block=AB):
    return korvex.getOpusData(str(write_file(opus.build())), block)


# ------------------------------------------------------------------ the request

INVALID_DIMENSIONS = "Incorrect dimensions: {}. Dimensions need to be either 2D or 3D"
INVALID_TYPE = ("Invalid data block type: {}. Please enter a valid entry from the following: REFL, RAM, SPOW, "
                "RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, ABARI, AB, TRC, SSC, RSC")
INVALID_DERIV = "Invalid deriv type: {}.  Please select from the following: 1DER, 2DER, NDER or NONE"


@pytest.mark.parametrize("block, message", [
    (("xx", "5d", "zz"), INVALID_DIMENSIONS.format("5D")),  # the first failed check is reported
    (("AB", "", "NONE"), INVALID_DIMENSIONS.format("")),
    (("xx", "2d", "zz"), INVALID_TYPE.format("XX")),
    (("ab ", "2D", "NONE"), INVALID_TYPE.format("AB ")),
    (("ab", "3d", "zz"), INVALID_DERIV.format("ZZ")),
    (("AB", "2D", "3DER"), INVALID_DERIV.format("3DER")),    # the listing's name, not the request's
])
def test_invalid_requests_are_refused_before_the_file_is_touched(tmp_path, block, message):
    with pytest.raises(ValueError) as info:
        korvex.getOpusData(str(tmp_path / "missing.0"), block)
    assert info.value.args == (message,)


def test_non_opus_file_is_refused_after_the_request_checks(write_file):
    path = str(write_file(bytes(64)))
    with pytest.raises(ValueError, match="^Can't process a non-Opus file$"):
        korvex.getOpusData(path, AB)
    with pytest.raises(ValueError, match="^Incorrect dimensions"):
        korvex.getOpusData(path, ("AB", "4D", "NONE"))


class Upper:
    """An item whose upper() returns `value`."""

    def __init__(self, value):
        self.value = value

    def upper(self):
        return self.value


@pytest.mark.parametrize("block, expected", [
    (("AB", "2D"), lambda: ("AB", "2D")[2]),
    (5, lambda: operator.getitem(5, 0)),
    ((1, "2D", "NONE"), lambda: (1).upper()),
    (("AB", "5D", 7), lambda: (7).upper()),                # all three before any check
    ((Upper(1), Upper(5), "NONE"), lambda: "Incorrect dimensions: " + 5),
    ((Upper(["AB"]), "2D", "NONE"), lambda: {}[["AB"]]),
    ((Upper(7), "2D", "NONE"), lambda: "Invalid data block type: " + 7),
    (("AB", "2D", Upper(None)), lambda: "Invalid deriv type: " + None),
])
def test_errors_of_a_malformed_triple_are_the_interpreters(tmp_path, block, expected):
    actual = raised_by(korvex.getOpusData, str(tmp_path / "missing.0"), block)
    assert_same_error(actual, raised_by(expected))


@pytest.mark.parametrize("block", [
    ("ab", "2d", "none"), ["Ab", "2D", "None"], ("AB", "2D", "NONE", "ignored"), {0: "ab", 1: "2d", 2: "none"},
])
def test_any_indexable_triple_in_any_case(write_file, block):
    result = load(write_file, spectrum(), block)
    assert (result.dataType, result.dimension, result.derivative) == AB
    assert result.y.tolist() == VALUES


def test_missing_file_raises_what_open_raises(tmp_path):
    path = str(tmp_path / "missing.0")
    assert_same_error(raised_by(korvex.getOpusData, path, AB), raised_by(open, path, "rb"))


def test_module_globals_are_looked_up_at_call_time(write_file, monkeypatch):
    path = str(write_file(spectrum().build()))

    class Subclass(korvex.DataReturn):
        pass

    monkeypatch.setattr(korvex, "DataReturn", Subclass)
    monkeypatch.setattr(korvex, "np", None)      # bound for compatibility; not what builds arrays
    assert type(korvex.getOpusData(path, AB)) is Subclass
    monkeypatch.setattr(korvex, "isOpusFile", lambda path: 0)
    with pytest.raises(ValueError, match="^Can't process a non-Opus file$"):
        korvex.getOpusData(path, AB)


# ------------------------------------------------------------------ the directory scan

def no_data_block(block):
    return "No data block exists in the file for: " + " ".join(block)


def only_entries(*codes):
    """A file whose entries of `codes` all point at one sound spectrum's blocks."""
    opus = OpusFile()
    data = opus.add_data(float32_block(VALUES))
    params = opus.add_data(param_block_from_dict(SPECTRUM))
    for code in codes:
        opus.add_entry(code, byte_offset=data if code & 0x3F0 == 0 else params)
    return opus


@pytest.mark.parametrize("opus, block", [
    (OpusFile(), AB),
    (OpusFile(dir_size=-3), AB),
    (only_entries(AB_DATA), AB),                     # no data parameter block
    (only_entries(AB_PARAMS), AB),                   # no data block
    (only_entries(0x601000, 0x601010), AB),          # extendType 12: not a "2D" request's
    (only_entries(0x501000, 0x501010), AB),          # the "3D" pair
    (only_entries(0x21000, 0x21010), AB),            # the 1DER pair
    (only_entries(0x1000, 0x1010), ("AB", "2D", "1DER")),
    (only_entries(0x400, 0x410), ("SSC", "2D", "NONE")),  # sampleType 0: neither SSC nor RSC
    (OpusFile().build()[:10], AB),                   # ends inside the header
])
def test_no_data_block(write_file, unraisable, opus, block):
    data = opus if isinstance(opus, bytes) else opus.build()
    with pytest.raises(ValueError) as info:
        korvex.getOpusData(str(write_file(data)), block)
    assert info.value.args == (no_data_block(block),)


@pytest.mark.parametrize("block, data_code, params_code", [
    (AB, 0x1000, 0x1010),
    (AB, 0x4000100F, 0x4000101F),                  # real files set bit 30, complexType and sampleType
    (("AB", "2D", "1DER"), 0x21000, 0x21010),
    (("AB", "2D", "2DER"), 0x41000, 0x41010),
    (("AB", "2D", "NDER"), 0x61000, 0x61010),
    (("SSC", "2D", "NONE"), 0x404, 0x414),
    (("RSC", "2D", "NONE"), 0x408, 0x418),
    (("SIFG", "2D", "NONE"), 0x804, 0x814),
    (("TR", "2D", "NONE"), 0x1400, 0x1410),
])
def test_worked_codes_name_the_data_and_its_parameters(write_file, block, data_code, params_code):
    opus = spectrum(data_code=data_code, params_code=params_code)
    # Decoys of every other kind point elsewhere: none of them may be taken.
    for decoy in (0x408 if block[0] == "SSC" else 0x404, 0x501000, 0x21000 if block[2] == "NONE" else 0x1000):
        opus.add_entry(decoy, byte_offset=4)
    result = load(write_file, opus, block)
    assert result.y.tolist() == VALUES
    assert result.parameters == SPECTRUM


def test_the_last_matching_entry_wins(write_file):
    opus = OpusFile()
    opus.add_block(AB_DATA, float32_block([9.0, 9.0, 9.0]))
    opus.add_block(AB_PARAMS, param_block_from_dict({**SPECTRUM, "NPT": 1}))
    opus.add_block(AB_DATA, float32_block(VALUES))
    opus.add_block(AB_PARAMS, param_block_from_dict(SPECTRUM))
    opus.add_block(0x21010, param_block_from_dict({**SPECTRUM, "NPT": 2}))  # 1DER parameters: not AB's
    result = load(write_file, opus)
    assert result.y.tolist() == VALUES and len(result.x) == 3


def merged_file(blocks):
    """A spectrum plus the parameter blocks `blocks`: (code, {label: value}) in directory order."""
    opus = spectrum({**SPECTRUM, "SRC": "data", "DAT": "data"})
    for code, values in blocks:
        opus.add_block(code, param_block_from_dict(values))
    return opus


def test_parameter_merge_precedence_and_order(write_file):
    # Directory order is the reverse of merge order, so the merge order alone decides.
    blocks = [(0x40, {"SRC": "ft", "FTQ": 1}), (0xA0, {"SRC": "sample", "SNM": "x"}),
              (0x20, {"SRC": "instrument", "INS": 2}), (0x30, {"SRC": "acquisition", "AQM": "SN"})]
    result = load(write_file, merged_file(blocks))
    expected = {**SPECTRUM, "SRC": "data", "DAT": "data"}
    for _, values in reversed(blocks):  # acquisition, instrument, sample, FT
        expected.update(values)
    assert result.parameters == expected and result.parameters["SRC"] == "ft"
    assert list(result.parameters) == list(expected)


def test_acquisition_sample_and_ft_blocks_are_the_last_of_their_kind(write_file):
    blocks = [(0x30, {"AQM": "first"}), (0x34, {"AQM": "second"}), (0xA0, {"SNM": "first"}),
              (0xA8, {"SNM": "second"}), (0x40, {"FTQ": 1}), (0x4000004F, {"FTQ": 2})]
    params = load(write_file, merged_file(blocks)).parameters
    assert (params["AQM"], params["SNM"], params["FTQ"]) == ("second", "second", 2)


@pytest.mark.parametrize("block, data_code, params_code, accepted", [
    (AB, 0x1000, 0x1010, [0]),
    (("SSC", "2D", "NONE"), 0x404, 0x414, [0, 1]),
    (("RSC", "2D", "NONE"), 0x408, 0x418, [2]),
])
def test_instrument_blocks_by_sample_type(write_file, block, data_code, params_code, accepted):
    # Instrument blocks of sample types 0, 1 and 2 (0x20, 0x24, 0x28): the last one accepted is merged.
    for order in ([0, 1, 2], [2, 1, 0]):
        opus = spectrum(data_code=data_code, params_code=params_code)
        for sample_type in order:
            opus.add_block(0x20 | sample_type << 2, param_block_from_dict({f"IN{sample_type}": sample_type}))
        params = load(write_file, opus, block).parameters
        merged = [t for t in order if t in accepted][-1]
        assert params == {**SPECTRUM, f"IN{merged}": merged}


def test_data_parameters_alone_suffice(write_file):
    assert load(write_file, spectrum()).parameters == SPECTRUM


def test_negative_block_offsets_raise_what_seeking_there_raises(write_file):
    with open(__file__, "rb") as file:
        seek_error = raised_by(file.seek, -2)
    for code in (AB_DATA, AB_PARAMS, 0x30):
        opus = spectrum()
        opus.add_entry(code, byte_offset=-2)
        assert_same_error(raised_by(load, write_file, opus), seek_error)


def test_directory_cut_short_is_reported_and_scanned_as_far_as_it_goes(write_file, unraisable):
    # The file ends after the first entry's blockType: its other fields read as 0 with a report
    # each, so the data block is found at offset 0, and its parameters are not.
    data = OpusFile(dir_size=3).build() + int32(AB_DATA)
    with pytest.raises(ValueError) as info:
        korvex.getOpusData(str(write_file(data)), AB)
    assert info.value.args == (no_data_block(AB),)
    assert unraisable == [INT_REPORT, INT_REPORT]


# ------------------------------------------------------------------ parameter records

SPECTRUM_RECORDS = [("NPT", 0, 3), ("FXV", 1, 10.0), ("LXV", 1, 30.0), ("MXY", 1, 3.5), ("MNY", 1, 0.5)]


def with_spectrum(*records):
    """A parameter block: the records, then those of SPECTRUM, then END."""
    return param_block([*records, *SPECTRUM_RECORDS])


@pytest.mark.parametrize("records, expected", [
    ([(b"AB\0\0", 0, 1), (b"\0\0CD", 0, 2), (b"\0EF\0", 0, 3), (b" G \0", 0, 4), (b"H\0I\0", 0, 5)],
     {"AB": 1, "CD": 2, "EF": 3, " G ": 4, "H\0I": 5}),
    ([("TXT", 2, "", 0), ("TX3", 3, "abc"), ("TX4", 4, "abcd")], {"TXT": "", "TX3": "abc", "TX4": "abcd"}),
    # Size 4: eight bytes, cut at the first NUL; the next record follows all eight.
    ([("ODD", 2, b"abc\0wxyz", 4), ("NXT", 0, 7)], {"ODD": "abc", "NXT": 7}),
    ([("NNL", 2, b"abcdef", 3)], {"NNL": "abcdef"}),
    ([("NEG", 0, -1), ("BIG", 0, 2**31 - 1), ("FLT", 1, -2.5e-300)], {"NEG": -1, "BIG": 2**31 - 1, "FLT": -2.5e-300}),
    # Types 0 and 1 take 4 and 8 value bytes whatever Size says.
    ([("SZ0", 0, 1, 40), ("SZ1", 1, 1.5, 0), ("NXT", 0, 2)], {"SZ0": 1, "SZ1": 1.5, "NXT": 2}),
    # A label keeps its first place and takes its last value.
    ([("DUP", 0, 1), ("MID", 0, 2), ("DUP", 2, "last")], {"DUP": "last", "MID": 2}),
    ([(b"\xc3\xa9t\0", 0, 1)], {"ét": 1}),
])
def test_parameter_records(write_file, records, expected):
    params = load(write_file, spectrum(with_spectrum(*records))).parameters
    assert params == {**expected, **SPECTRUM}
    assert list(params) == [*expected, *SPECTRUM]


def test_long_blocks_keep_first_places_and_last_values(write_file):
    # Thousands of records over two blocks: labels that repeat only early on, labels that repeat
    # throughout, and labels that come once.
    records = [(f"E{i % 100:02}" if i < 5000 else f"R{i % 10}" if i % 7 else f"U{i:03x}"[-4:], 0, i)
               for i in range(20000)]
    opus = spectrum(with_spectrum(*records[:12000]))
    opus.add_block(0x30, param_block(records[12000:]))
    expected = {}
    for label, _, value in [*records[:12000], *SPECTRUM_RECORDS, *records[12000:]]:
        expected[label] = value
    params = load(write_file, opus).parameters
    assert list(params.items()) == list(expected.items())


def test_an_empty_block_adds_nothing(write_file):
    opus = spectrum()
    opus.add_block(0x30, end_record())
    assert load(write_file, opus).parameters == SPECTRUM


@pytest.mark.parametrize("type_, message", [
    (5, "Unexpected value for reading parameter type: 5"),
    (0xFFFF, "Unexpected value for reading parameter type: -1"),
    (-32768, "Unexpected value for reading parameter type: -32768"),
])
def test_unknown_record_type(write_file, type_, message):
    block = with_spectrum(("BAD", type_, b"\0\0\0\0"))
    with pytest.raises(ValueError) as info:
        load(write_file, spectrum(block))
    assert info.value.args == (message,)


def test_text_values_decode_as_windows_1252(write_file):
    every_byte = bytes(range(1, 256)) + b"\0"
    records = [("ALL", 2, every_byte), ("SNM", 2, b"617262\x911TP"), ("SFM", 2, b"f\xfcr 1mm\xb2")]
    params = load(write_file, spectrum(with_spectrum(*records))).parameters
    assert params["ALL"] == windows_1252(every_byte[:-1])
    assert params["ALL"][0x80 - 1:0xA0 - 1] == "€\x81‚ƒ„…†‡ˆ‰Š‹Œ\x8dŽ\x8f\x90‘’“”•–—˜™š›œ\x9džŸ"
    assert (params["SNM"], params["SFM"]) == ("617262‘1TP", "für 1mm²")


@settings(max_examples=300, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(label=st.binary(min_size=4, max_size=4) | st.text(min_size=1, max_size=2).map(lambda t: t.encode()[:4]))
def test_labels_decode_as_strict_utf8(write_file, label):
    label = label.ljust(4, b"\0")
    if label.strip(b"\0") == b"END":
        return
    try:
        expected = label.decode("utf-8").strip("\0")
    except UnicodeDecodeError as error:
        block = param_block([param_record(label, 0, 1), *SPECTRUM_RECORDS])
        assert_same_error(raised_by(load, write_file, spectrum(block)), error)
    else:
        params = load(write_file, spectrum(with_spectrum((label, 0, 1)))).parameters
        assert params[expected] == (1 if expected not in SPECTRUM else SPECTRUM[expected])


@pytest.mark.parametrize("tail, reports", [
    (b"", []),                                        # no END at all
    (b"EN", []),                                      # END cut short
    (b"ABC\0", [SHORT_REPORT, SHORT_REPORT, INT_REPORT]),  # a label, then the end of the file
    (b"ABC\0\0\0\0\0" + b"\x01", [INT_REPORT]),       # an int value cut short
    (b"ABC\0\x02\0\x10\0abc", []),                    # a text value cut short
    (param_record("NEG", 2, b"abcd", -2) + end_record(), []),  # a negative text Size reads to the end
])
def test_block_without_end_raises(write_file, unraisable, tail, reports):
    # The data parameters come last in the file, so their block runs into its end.
    opus = OpusFile()
    opus.add_block(AB_DATA, float32_block(VALUES))
    chunk = opus.add_block(AB_PARAMS, param_block(SPECTRUM_RECORDS, end=False) + tail)
    data = opus.build()
    with pytest.raises(ValueError) as info:
        korvex.getOpusData(str(write_file(data)), AB)
    assert info.value.args == (f"Unterminated parameter block at offset {chunk.offset}",)
    assert unraisable == reports


def test_optional_block_without_end_raises_with_its_own_offset(write_file):
    opus = spectrum()
    chunk = opus.add_block(0x40, param_record("FTQ", 0, 1))
    path = str(write_file(opus.build()))
    with pytest.raises(ValueError) as info:
        korvex.getOpusData(path, AB)
    assert info.value.args == (f"Unterminated parameter block at offset {chunk.offset}",)


# ------------------------------------------------------------------ the spectrum

@pytest.mark.parametrize("npt, fxv, lxv, stored, x, y", [
    (5, 40.0, 4.0, [1, 2, 3, 4, 5], [40.0, 31.0, 22.0, 13.0, 4.0], [1, 2, 3, 4, 5]),
    (1, 7.5, 99.0, [1, 2], [7.5], [1]),
    (0, 1.0, 2.0, [1, 2], [], []),
    (10, 0.0, 9.0, [1, 2], list(range(10)), [1, 2]),           # the file ends after two values
    (10, 0.0, 9.0, [1, 2, 3.5], list(range(10)), [1, 2, 3.5]),
    (2, 1.0, 1.0, [1, 2, 3, 4], [1.0, 1.0], [1, 2]),            # more values than NPT
    (3, 1, 3, [1, 2, 3], [1.0, 2.0, 3.0], [1, 2, 3]),           # integer ends
])
def test_axis_and_values(write_file, npt, fxv, lxv, stored, x, y):
    opus = OpusFile()
    opus.add_block(AB_PARAMS, param_block_from_dict({"NPT": npt, "FXV": fxv, "LXV": lxv, "MXY": 1.5, "MNY": -0.25}))
    opus.add_block(AB_DATA, float32_block(stored))  # last in the file
    result = load(write_file, opus)
    assert result.x.dtype == np.float64 and result.x.tolist() == x
    assert result.y.dtype == np.float32 and result.y.tolist() == y
    assert (result.maxY, result.minY) == (1.5, -0.25)


def test_result_object(write_file):
    params = {**SPECTRUM, "MXY": 7, "MNY": "low", "DXU": "WN"}
    result = load(write_file, spectrum(params))
    assert type(result) is korvex.DataReturn
    assert str(result) == repr(result) == result.description == SPECTRUM_DESCRIPTION
    assert list(vars(result)) == ["dataType", "dimension", "derivative", "description", "x", "y", "maxY", "minY",
                                  "parameters"]
    assert (result.maxY, result.minY) == (7, "low")  # as stored, never computed
    assert result.parameters == params
    assert result.x.flags.c_contiguous and result.x.flags.writeable and result.y.flags.writeable


@settings(max_examples=200, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(npt=st.integers(0, 40),
       ends=st.tuples(st.floats(allow_nan=True) | st.integers(-2**31, 2**31 - 1),
                      st.floats(allow_nan=True) | st.integers(-2**31, 2**31 - 1)))
def test_axis_is_numpys_linspace(write_file, npt, ends):
    fxv, lxv = ends
    opus = spectrum({"NPT": npt, "FXV": fxv, "LXV": lxv, "MXY": 0.0, "MNY": 0.0})
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        x = load(write_file, opus).x
    with warnings.catch_warnings(record=True) as numpys:
        warnings.simplefilter("always")
        expected = np.linspace(fxv, lxv, npt)
    assert x.dtype == expected.dtype and x.tobytes() == expected.tobytes()
    assert [str(w.message) for w in ours] == [str(w.message) for w in numpys]


@pytest.mark.parametrize("npt, fxv, lxv", [
    (-1, 1.0, 2.0), (3.0, 1.0, 2.0), ("3", 1.0, 2.0), (3, "a", 2.0), (3, 1.0, "b"), (-1, "a", "b"),
])
def test_bad_axis_values_raise_numpys_errors(write_file, npt, fxv, lxv):
    opus = spectrum({"NPT": npt, "FXV": fxv, "LXV": lxv, "MXY": 0.0, "MNY": 0.0})
    assert_same_error(raised_by(load, write_file, opus), raised_by(np.linspace, fxv, lxv, npt))


def test_npt_that_no_file_of_its_size_could_hold_raises(write_file):
    def file_with(npt):
        opus = OpusFile()
        opus.add_block(AB_PARAMS, param_block_from_dict({"NPT": npt, "FXV": 0.0, "LXV": 1.0, "MXY": 0.0, "MNY": 0.0}))
        opus.add_block(AB_DATA, float32_block([1, 2]))
        return opus

    size = len(file_with(0).build())
    # NPT up to the size in bytes is taken: the y the file holds is shorter than x.
    result = load(write_file, file_with(size))
    assert len(result.x) == size and result.y.tolist() == [1, 2]
    with pytest.raises(ValueError) as info:
        load(write_file, file_with(size + 1))
    assert info.value.args == (f"NPT of {size + 1} is more than a file of {size} bytes can hold",)
    # A missing label is still looked up first.
    opus = OpusFile()
    opus.add_block(AB_PARAMS, param_block_from_dict({"NPT": 2**31 - 1, "FXV": 0.0, "LXV": 1.0, "MXY": 0.0}))
    opus.add_block(AB_DATA, float32_block([1]))
    with pytest.raises(KeyError):
        load(write_file, opus)


@pytest.mark.parametrize("missing", ["NPT", "FXV", "LXV", "MXY", "MNY"])
def test_missing_label_raises_key_error_in_lookup_order(write_file, missing):
    labels = list(SPECTRUM)
    params = {label: SPECTRUM[label] for label in labels[:labels.index(missing)]}
    with pytest.raises(KeyError) as info:
        load(write_file, spectrum(params))
    assert info.value.args == (missing,)


def test_parameters_are_checked_before_the_data_block_offset(write_file):
    opus = spectrum({"FXV": 1.0})
    opus.add_entry(AB_DATA, byte_offset=-5)
    with pytest.raises(KeyError):
        load(write_file, opus)


# ------------------------------------------------------------------ against a model

LABELS = ["NPT", "FXV", "LXV", "MXY", "MNY", "SNM", "AAA"]
records = st.one_of(
    st.tuples(st.sampled_from(LABELS), st.just(0), st.integers(-2, 12)),
    st.tuples(st.sampled_from(LABELS), st.just(1), st.floats()),
    st.tuples(st.sampled_from(LABELS), st.sampled_from([2, 3, 4]), st.binary(max_size=9)),
    # Raw records: any label, type and size, then value bytes that need not fit them.
    st.builds(lambda label, type_, size, value: label + int16(type_) + int16(size) + value,
              st.binary(min_size=4, max_size=4), st.integers(-(2**15), 2**15 - 1), st.integers(-4, 8),
              st.binary(max_size=8)),
)
parameter_blocks = st.tuples(st.lists(records, max_size=7), st.sampled_from([True, True, True, False]))
# A data parameter block that mostly holds a sound spectrum's records.
spectrum_blocks = st.tuples(
    st.tuples(st.just("NPT"), st.just(0), st.integers(0, 12)), st.tuples(st.just("FXV"), st.just(1), st.floats()),
    st.tuples(st.just("LXV"), st.just(1), st.floats()), st.tuples(st.just("MXY"), st.just(1), st.floats()),
    st.tuples(st.just("MNY"), st.just(1), st.floats()),
).flatmap(lambda sound: st.tuples(st.lists(records, max_size=4).map(lambda more: [*sound, *more]),
                                  st.sampled_from([True, True, True, False])))
data_blocks = st.lists(st.floats(width=32), max_size=10)
# Codes of the requests' data and parameter blocks and of the other parameter blocks, near misses
# included, and any code at all.
codes = st.one_of(
    st.builds(block_type, data_type=st.sampled_from([1, 4, 5]), param_type=st.sampled_from([0, 1]),
              sample_type=st.integers(0, 2), deriv_type=st.integers(0, 1), extend_type=st.sampled_from([0, 10, 12])),
    st.builds(block_type, param_type=st.sampled_from([2, 3, 4, 10]), sample_type=st.integers(0, 3)),
    st.builds(block_type, param_type=st.sampled_from([2, 3, 4, 10]), sample_type=st.integers(0, 3)),
    st.integers(-(2**31), 2**31 - 1),
)
# Each request with its data type and sample type.
REQUESTS = {("AB", "2D", "NONE"): (4, 0), ("AB", "2D", "1DER"): (4, 3), ("SSC", "2D", "NONE"): (1, 1),
            ("RSC", "2D", "NONE"): (1, 2), ("TR", "2D", "NONE"): (5, 0)}


def outcome(value):
    """What a call gave, in a form that compares exactly: the exception's type and text, or every
    array's dtype and bytes and the repr of the other values."""
    if isinstance(value, BaseException):
        return type(value), str(value)
    x, y, max_y, min_y, parameters = value
    return x.dtype.str, x.tobytes(), y.dtype.str, y.tobytes(), repr(max_y), repr(min_y), repr(list(parameters.items()))


@settings(max_examples=400, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(blocks=st.lists(parameter_blocks, max_size=3), spectrum_block=spectrum_blocks,
       data=st.lists(data_blocks, min_size=1, max_size=2),
       entries=st.lists(st.tuples(codes, st.sampled_from(range(6)) | st.integers(-3, 400)), max_size=9),
       pair_at=st.tuples(st.integers(0, 9), st.integers(0, 9)) | st.none(),
       request=st.sampled_from(sorted(REQUESTS)), cut=st.sampled_from([0, 0, 0, 1, 3, 7, 20]))
def test_any_file_reads_as_the_model_does(write_file, monkeypatch, blocks, spectrum_block, data, entries, pair_at,
                                          request, cut):
    opus = OpusFile()
    chunks = [opus.add_data(param_block(rs, end=end)) for rs, end in [spectrum_block, *blocks]]
    chunks += [opus.add_data(float32_block(values)) for values in data]
    entries = [(code, chunks[target] if 0 <= target < len(chunks) else target) for code, target in entries]
    if pair_at is not None:
        # The request's own data block and data parameter block, somewhere in the directory.
        data_type, sample_type = REQUESTS[request]
        deriv_type = 1 if request[2] == "1DER" else 0
        for param_type, at, chunk in ((0, pair_at[0], chunks[-1]), (1, pair_at[1], chunks[0])):
            code = block_type(data_type=data_type, param_type=param_type, sample_type=sample_type,
                              deriv_type=deriv_type)
            entries.insert(at, (code, chunk))
    for code, target in entries:
        opus.add_entry(code, byte_offset=target)
    contents = opus.build()
    contents = contents[:len(contents) - cut]
    path = str(write_file(contents, name="any.opus"))

    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = korvex.getOpusData(path, request)
            actual = (result.x, result.y, result.maxY, result.minY, result.parameters)
        except Exception as error:  # noqa: BLE001 - compared with the model's exception
            actual = error
        expected, expected_reports = model_spectrum(contents, request)
    assert outcome(actual) == outcome(expected)
    assert len(reports) == expected_reports


# ------------------------------------------------------------------ real files

def test_every_listed_block_of_the_real_files_loads(sample_path, unraisable):
    for block in korvex.listContents(sample_path):
        result = korvex.getOpusData(str(sample_path), block)
        npt = result.parameters["NPT"]
        assert len(result.x) == npt and result.x[0] == result.parameters["FXV"]
        assert result.x[-1] == result.parameters["LXV"]
        assert result.y.dtype == np.float32 and len(result.y) == npt and np.isfinite(result.y).all()
        assert result.x.tobytes() == np.linspace(result.parameters["FXV"], result.parameters["LXV"], npt).tobytes()
    assert unraisable == []


def test_soil_calibration_spectrum(samples_dir):
    result = korvex.getOpusData(str(samples_dir / "BF_lo_01_soil_cal.1"), AB)
    assert len(result.x) == len(result.y) == 1716


def test_sample_names_keep_their_windows_characters(samples_dir):
    path = samples_dir / "617262_1TP_C-1_A5.0"
    if not path.is_file():
        pytest.skip(f"sample file {path} is missing")
    params = korvex.getOpusData(str(path), AB).parameters
    assert params["SNM"].startswith("617262\u20181TP")
    assert "f\u00fcr" in params["DPM"]


# ------------------------------------------------------------------ resources

@needs_proc_fd
def test_no_file_stays_open_after_a_result_or_an_error(write_file, unraisable, tmp_path):
    good = str(write_file(spectrum().build()))
    failing = [
        (str(write_file(bytes(8))), ValueError),
        (str(write_file(OpusFile().build())), ValueError),
        (str(write_file(spectrum(with_spectrum(("BAD", 9, b""))).build())), ValueError),
        (str(write_file(spectrum({"NPT": 3}).build())), KeyError),
        (str(write_file(spectrum({**SPECTRUM, "FXV": "x"}).build())), TypeError),
        (str(tmp_path / "missing.0"), FileNotFoundError),
    ]
    before = open_descriptors()
    for _ in range(50):
        assert len(korvex.getOpusData(good, AB).y) == 3
        for path, error in failing:
            with pytest.raises(error):
                korvex.getOpusData(path, AB)
    assert open_descriptors() == before
