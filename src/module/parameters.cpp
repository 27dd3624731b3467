// Building the `parameters` dict from the core's parameter records.
#include "module/parameters.hpp"

#include <algorithm>
#include <vector>

#include "extract/text.hpp"

namespace korvex {

PyRef textObject(std::span<const std::uint8_t> bytes) {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte < 0x80; })) {
        return PyRef(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), size));
    }
    std::vector<Py_UCS2> units(bytes.size());
    std::transform(bytes.begin(), bytes.end(), units.begin(), [](std::uint8_t byte) { return windows1252(byte); });
    return PyRef(PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, units.data(), size));
}

namespace {

PyRef valueObject(const ParameterList& list, const ParameterRecord& record) {
    switch (record.type) {
        case ParameterType::integer:
            return PyRef(PyLong_FromLong(record.integer));
        case ParameterType::real:
            return PyRef(PyFloat_FromDouble(record.real));
        case ParameterType::text:
            return textObject(list.textOf(record));
    }
    PyErr_SetString(PyExc_SystemError, "korvex: unknown parameter type");
    return PyRef();
}

}  // namespace

PyRef parametersToDict(const ParameterList& list) {
    PyRef parameters(PyDict_New());
    if (!parameters) {
        return parameters;
    }
    for (const ParameterRecord& record : list.records) {
        const auto label = record.labelBytes();
        PyRef key(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(label.data()),
                                       static_cast<Py_ssize_t>(label.size()), "strict"));
        PyRef value = key ? valueObject(list, record) : PyRef();
        if (!value || PyDict_SetItem(parameters.get(), key.get(), value.get()) != 0) {
            return PyRef();
        }
    }
    return parameters;
}

}  // namespace korvex
