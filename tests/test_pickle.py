"""Results pickle and unpickle whole, so process pools and distributed engines can carry them."""

import pickle

import numpy as np
import pytest

import korvex
from result_files import KINDS, assert_same_result, write_kinds

PROTOCOLS = list(range(pickle.HIGHEST_PROTOCOL + 1))


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    """{kind: DataReturn} for one small file of each result kind."""
    written = write_kinds(tmp_path_factory.mktemp("kinds"))
    return {kind: korvex.getOpusData(str(path), block) for kind, (path, block) in written.items()}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("kind", list(KINDS))
def test_results_round_trip_with_every_protocol(results, kind, protocol):
    original = results[kind]
    assert_same_result(pickle.loads(pickle.dumps(original, protocol=protocol)), original)


@pytest.mark.parametrize("kind", list(KINDS))
def test_arrays_travel_out_of_band_with_protocol_5(results, kind):
    # As process pools and distributed engines send large arrays: beside the pickle, not inside it.
    original = results[kind]
    buffers = []
    data = pickle.dumps(original, protocol=5, buffer_callback=buffers.append)
    arrays = [value for value in vars(original).values() if isinstance(value, np.ndarray)]
    assert len(buffers) == len(arrays)
    # Unpickled here, the arrays are views of the buffers, which are the original's memory.
    assert_same_result(pickle.loads(data, buffers=buffers), original, own_memory=False)


def test_attributes_of_the_callers_own_come_along():
    original = korvex.DataReturn("AB", "2D", "NONE")
    original.note = {"batch": 3}
    del original.description
    copied = pickle.loads(pickle.dumps(original))
    assert vars(copied) == {"dataType": "AB", "dimension": "2D", "derivative": "NONE", "note": {"batch": 3}}
    with pytest.raises(AttributeError):
        str(copied)


def test_every_block_of_the_sample_files_round_trips(sample_path):
    for block in korvex.listContents(sample_path):
        original = korvex.getOpusData(str(sample_path), block)
        assert_same_result(pickle.loads(pickle.dumps(original, protocol=pickle.HIGHEST_PROTOCOL)), original)
