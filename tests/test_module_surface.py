"""What `import korvex` gives a caller: names, functions, DataReturn, help()."""

import array as array_module
import builtins
import math
import os
import pathlib
import struct
import types

import numpy
import pytest

import korvex
from checks import assert_same_error, raised_by
from module_texts import (
    DATA_RETURN_DOC,
    GET_OPUS_DATA_DOC,
    HELP_DOC,
    HELP_PRINTS,
    IS_OPUS_FILE_DOC,
    LIST_CONTENTS_DOC,
    NO_DESCRIPTION,
    PARAM_NAMES,
)

IMPORT_MACHINERY_NAMES = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
}
TRIPLE = ("AB", "2D", "NONE")


def type_error_message(func, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert type(info.value) is TypeError
    return str(info.value)


# ---------------------------------------------------------------- namespace

def test_namespace_holds_exactly_the_module_names_in_binding_order():
    names = [n for n in vars(korvex) if n not in IMPORT_MACHINERY_NAMES]
    assert names == [
        "__builtins__", "unpack", "np", "array", "DataReturn", "help",
        "listContents", "isOpusFile", "getOpusData", "paramDict", "__test__",
    ]


def test_namespace_bindings():
    assert korvex.__name__ == "korvex"
    assert korvex.__doc__ is None
    assert not hasattr(korvex, "__all__")
    assert korvex.__builtins__ is builtins
    assert korvex.unpack is struct.unpack
    assert not hasattr(korvex, "struct")
    assert korvex.np is numpy
    assert korvex.array is array_module
    assert type(korvex.__test__) is dict and korvex.__test__ == {}


@pytest.mark.parametrize(
    "name, doc",
    [
        ("help", HELP_DOC),
        ("listContents", LIST_CONTENTS_DOC),
        ("isOpusFile", IS_OPUS_FILE_DOC),
        ("getOpusData", GET_OPUS_DATA_DOC),
    ],
)
def test_functions_are_builtins_with_their_docstrings(name, doc):
    func = getattr(korvex, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__module__ == "korvex"
    assert func.__doc__ == doc


def test_param_dict_names_33_labels_in_order():
    assert type(korvex.paramDict) is dict
    assert list(korvex.paramDict.items()) == PARAM_NAMES


# ---------------------------------------------------------------- calling contracts

# help, isOpusFile and listContents are declared to the interpreter as
# no-argument and one-argument functions, so their argument errors carry the
# interpreter's own wording: that of os.getcwd (no arguments) and math.fabs
# (one argument) in the running interpreter, with the function's name.
@pytest.mark.parametrize(
    "name, args, kwargs, reference, ref_args, ref_kwargs",
    [
        ("help", (1,), {}, os.getcwd, (1,), {}),
        ("help", (), {"x": 1}, os.getcwd, (), {"x": 1}),
        ("isOpusFile", (), {}, math.fabs, (), {}),
        ("isOpusFile", ("a", "b"), {}, math.fabs, ("a", "b"), {}),
        ("isOpusFile", (), {"path": "x"}, math.fabs, (), {"x": "x"}),
        ("listContents", (), {}, math.fabs, (), {}),
        ("listContents", ("a", "b"), {}, math.fabs, ("a", "b"), {}),
        ("listContents", (), {"path": "x"}, math.fabs, (), {"x": "x"}),
    ],
)
def test_fixed_arity_functions_refuse_other_calls_before_any_file_access(
        tmp_path, monkeypatch, name, args, kwargs, reference, ref_args, ref_kwargs):
    # In an empty folder: a function that opened "a" or "x" would raise
    # FileNotFoundError instead.
    monkeypatch.chdir(tmp_path)
    expected = type_error_message(reference, *ref_args, **ref_kwargs).replace(
        f"{reference.__module__}.{reference.__name__}()", f"korvex.{name}()")
    assert expected.startswith(f"korvex.{name}() takes ")
    assert type_error_message(getattr(korvex, name), *args, **kwargs) == expected


class StrSubclass(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("f",), {}, "getOpusData() takes exactly 2 positional arguments (1 given)"),
        ((), {}, "getOpusData() takes exactly 2 positional arguments (0 given)"),
        ((1, 2, 3), {}, "getOpusData() takes exactly 2 positional arguments (3 given)"),
        ((), {"datablock": TRIPLE},
         "getOpusData() takes exactly 2 positional arguments (0 given)"),
        (("f",), {"x": 1}, "getOpusData() takes exactly 2 positional arguments (1 given)"),
        ((), {"path": "f"}, "getOpusData() takes exactly 2 positional arguments (1 given)"),
        (("f", TRIPLE), {"x": 1}, "getOpusData() got an unexpected keyword argument 'x'"),
        (("f",), {"datablock": TRIPLE, "x": 1},
         "getOpusData() got an unexpected keyword argument 'x'"),
        (("f", TRIPLE), {"path": "g"},
         "getOpusData() got multiple values for keyword argument 'path'"),
        ((b"f", TRIPLE), {},
         "Argument 'path' has incorrect type (expected str, got bytes)"),
        ((), {"path": b"f", "datablock": TRIPLE},
         "Argument 'path' has incorrect type (expected str, got bytes)"),
        ((StrSubclass("f"), TRIPLE), {},
         "Argument 'path' has incorrect type (expected str, got StrSubclass)"),
        ((pathlib.Path("f"), TRIPLE), {},
         f"Argument 'path' has incorrect type (expected str, got {type(pathlib.Path('f')).__name__})"),
        ((3, TRIPLE), {}, "Argument 'path' has incorrect type (expected str, got int)"),
    ],
)
def test_get_opus_data_argument_errors(tmp_path, monkeypatch, args, kwargs, message):
    monkeypatch.chdir(tmp_path)
    assert type_error_message(korvex.getOpusData, *args, **kwargs) == message


# Keywords and a None path get past the argument parsing: an invalid request is then refused with
# its own ValueError before the file is touched (the file does not exist), and a None path with a
# valid request reaches open(), whose TypeError it raises.
INVALID_REQUEST = ("AB", "5D", "NONE")
INCORRECT_DIMENSIONS = ValueError("Incorrect dimensions: 5D. Dimensions need to be either 2D or 3D")


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {"path": "missing.opus", "datablock": INVALID_REQUEST}, INCORRECT_DIMENSIONS),
        (("missing.opus",), {"datablock": INVALID_REQUEST}, INCORRECT_DIMENSIONS),
        ((None, INVALID_REQUEST), {}, INCORRECT_DIMENSIONS),
        ((), {"path": None, "datablock": INVALID_REQUEST}, INCORRECT_DIMENSIONS),
        ((None, TRIPLE), {}, raised_by(open, None, "rb")),
        ((), {"path": None, "datablock": TRIPLE}, raised_by(open, None, "rb")),
    ],
)
def test_get_opus_data_accepts_keywords_and_none_path(tmp_path, monkeypatch, args, kwargs, expected):
    monkeypatch.chdir(tmp_path)
    assert_same_error(raised_by(korvex.getOpusData, *args, **kwargs), expected)


# ---------------------------------------------------------------- DataReturn

DataReturn = korvex.DataReturn
METHOD_NAMES = ["__init__", "__str__", "__repr__"]


def test_data_return_class():
    assert type(DataReturn) is type
    assert DataReturn.__bases__ == (object,)
    assert DataReturn.__name__ == "DataReturn"
    assert DataReturn.__qualname__ == "DataReturn"
    assert DataReturn.__module__ == "korvex"
    assert DataReturn.__doc__ == DATA_RETURN_DOC
    assert len(DataReturn.__doc__) == 1238
    assert "__slots__" not in vars(DataReturn)
    assert [n for n in vars(DataReturn) if n in METHOD_NAMES] == METHOD_NAMES


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_data_return_methods(name):
    method = vars(DataReturn)[name]
    assert method.__name__ == name
    assert method.__qualname__ == f"DataReturn.{name}"
    assert method.__module__ == "korvex"
    assert method.__doc__ is None
    obj = DataReturn(*TRIPLE)
    assert getattr(obj, name).__self__ is obj


def test_constructor_sets_four_attributes_in_order():
    obj = DataReturn("AB", "2D", "NONE")
    assert list(vars(obj)) == ["dataType", "dimension", "derivative", "description"]
    assert vars(obj) == {
        "dataType": "AB", "dimension": "2D", "derivative": "NONE",
        "description": NO_DESCRIPTION,
    }


def test_constructor_stores_arguments_unchanged():
    deriv = []
    obj = DataReturn(dataBlockType=1, dimensions=None, deriv=deriv)
    assert obj.dataType == 1 and type(obj.dataType) is int
    assert obj.dimension is None
    assert obj.derivative is deriv
    assert obj.description == NO_DESCRIPTION


def test_init_called_through_the_class_with_keywords_reinitialises():
    obj = DataReturn("AB", "2D", "NONE")
    obj.description = "changed"
    obj.extra = 1
    result = DataReturn.__init__(self=obj, dataBlockType="TR", dimensions="3D", deriv="1DER")
    assert result is None
    assert vars(obj) == {
        "dataType": "TR", "dimension": "3D", "derivative": "1DER",
        "description": NO_DESCRIPTION, "extra": 1,
    }
    assert obj.__init__("KM", "2D", "2DER") is None
    assert (obj.dataType, obj.dimension, obj.derivative) == ("KM", "2D", "2DER")


def test_instances_take_any_attribute():
    obj = DataReturn(*TRIPLE)
    obj.x = numpy.arange(3)
    obj.dataType = "TR"
    del obj.dimension
    assert list(vars(obj)) == ["dataType", "derivative", "description", "x"]
    assert obj.dataType == "TR"
    assert not hasattr(obj, "dimension")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__init__() takes exactly 4 positional arguments (1 given)"),
        (("AB", "2D"), {}, "__init__() takes exactly 4 positional arguments (3 given)"),
        (("AB", "2D", "NONE", 4), {},
         "__init__() takes exactly 4 positional arguments (5 given)"),
        (("AB", "2D", "NONE"), {"x": 1}, "__init__() got an unexpected keyword argument 'x'"),
        ((), {"dataBlockType": "AB"},
         "__init__() takes exactly 4 positional arguments (2 given)"),
        ((), {"dimensions": "2D", "deriv": "NONE"},
         "__init__() takes exactly 4 positional arguments (1 given)"),
        (("AB", "2D", "NONE"), {"dataBlockType": "TR"},
         "__init__() got multiple values for keyword argument 'dataBlockType'"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    assert type_error_message(DataReturn, *args, **kwargs) == message


def test_str_and_repr_return_the_current_description(capsys):
    obj = DataReturn(*TRIPLE)
    assert str(obj) == NO_DESCRIPTION
    assert repr(obj) == NO_DESCRIPTION
    text = "".join(["a description ", "built at run time"])
    obj.description = text
    assert obj.__str__() is text
    assert obj.__repr__() is text
    assert DataReturn.__str__(obj) is text
    assert str(obj) == text and repr(obj) == text
    print(obj)
    assert capsys.readouterr() == (text + "\n", "")


def test_str_and_repr_without_description_raise_attribute_error():
    obj = DataReturn(*TRIPLE)
    del obj.description
    expected = type("DataReturn", (), {})()
    with pytest.raises(AttributeError) as reference:
        expected.description
    for show in (str, repr):
        with pytest.raises(AttributeError) as info:
            show(obj)
        assert type(info.value) is AttributeError
        assert str(info.value) == str(reference.value)


def test_str_and_repr_of_a_non_text_description_raise_type_error():
    obj = DataReturn(*TRIPLE)
    obj.description = 5

    class Reference:
        def __str__(self):
            return 5

        def __repr__(self):
            return 5

    for show in (str, repr):
        assert type_error_message(show, obj) == type_error_message(show, Reference())
    assert obj.__str__() == 5


# ---------------------------------------------------------------- help()

HELP_OUTPUT = "".join(text + "\n" for text in HELP_PRINTS)


def test_help_prints_the_listing_and_returns_none(capsys):
    assert korvex.help() is None
    out, err = capsys.readouterr()
    assert out == HELP_OUTPUT
    assert err == ""
    assert len(out.splitlines()) == 8


def test_help_prints_the_listing_on_every_call(capsys):
    korvex.help()
    korvex.help()
    assert capsys.readouterr() == (HELP_OUTPUT * 2, "")
