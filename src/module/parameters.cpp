// Building the `parameters` dict from the core's parameter records.
#include "module/parameters.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "extract/text.hpp"
#include "module/state.hpp"

namespace korvex {

PyRef textObject(std::span<const std::uint8_t> bytes) {
    const auto size = static_cast<Py_ssize_t>(bytes.size());
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t byte) { return byte < 0x80; })) {
        if (size <= 1) {
            // The interpreter's own str of no or one character.
            return PyRef(PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), size));
        }
        // ASCII bytes are the characters themselves: copied in, with nothing to decode.
        PyObject* text = PyUnicode_New(size, 0x7F);
        if (text != nullptr) {
            std::memcpy(PyUnicode_1BYTE_DATA(text), bytes.data(), bytes.size());
        }
        return PyRef(text);
    }
    std::vector<Py_UCS2> units(bytes.size());
    std::transform(bytes.begin(), bytes.end(), units.begin(), [](std::uint8_t byte) { return windows1252(byte); });
    return PyRef(PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, units.data(), size));
}

namespace {

// Labels recur from file to file, so the str of each is made once and kept for every later call:
// a slot of the state's keptLabels per label, chosen by its bytes, filled by the first call that
// meets the label. A label whose slot holds another one gets a str of its own. Slots are only ever
// filled, never changed, so calls on other threads read them without a lock.
// What it buys: getOpusData of each of the 32 blocks of the 8 real sample files (about 80 labels a
// call) takes 12.3 us a call with it and 17.8 us when each label is decoded and interned
// (PyUnicode_InternInPlace) on every call, so the plain interning would cost 45% more. Both
// builds were loaded in one process and timed alternately, 41 rounds; the median ratio was
// 1.44-1.46 in three runs.
// The str of a record's label: the kept one, borrowed, or a str of the call's own, held in `own`.
PyObject* labelObject(const ModuleState& state, const ParameterRecord& record, PyRef& own) {
    const auto label = record.labelBytes();
    // At most four bytes: with the length they make a key unique to the label.
    std::uint64_t key = label.size();
    for (std::uint8_t byte : label) {
        key = key << 8 | byte;
    }
    std::atomic<const KeptLabel*>& slot = state.keptLabels[(key * 0x9E3779B97F4A7C15u) >> (64 - labelSlotBits)];
    const KeptLabel* kept = slot.load(std::memory_order_acquire);
    if (kept != nullptr && kept->key == key) {
        return kept->text;
    }
    own = PyRef(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(label.data()), static_cast<Py_ssize_t>(label.size()),
                                     "strict"));
    // It is interned (which takes its hash) before it is shared, so that no thread writes to a
    // shared str; where interned strs are immortal (3.12 on), threads that put the same label in
    // their dicts do not write to its reference count either.
    if (kept == nullptr && own) {
        PyObject* interned = own.release();
        PyUnicode_InternInPlace(&interned);
        own = PyRef(interned);
    }
    if (kept == nullptr && own && PyObject_Hash(own.get()) != -1) {
        auto* keeping = new (std::nothrow) KeptLabel{key, own.get()};
        const KeptLabel* empty = nullptr;
        if (keeping != nullptr && slot.compare_exchange_strong(empty, keeping, std::memory_order_acq_rel)) {
            Py_INCREF(own.get());  // the slot's reference, dropped with the module state
        } else {
            delete keeping;
        }
    }
    return own.get();
}

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

// A new dict with room for `count` items, so that filling it never resizes it (a dict of 80
// parameters would otherwise grow five times). CPython 3.10 to 3.13, the free-threaded builds
// included, declare the function that makes one (cpython/dictobject.h); any other version gets a
// plain dict that grows as it fills.
PyObject* newDictFor(std::size_t count) {
#if PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(static_cast<Py_ssize_t>(count));
#else
    static_cast<void>(count);
    return PyDict_New();
#endif
}

}  // namespace

PyRef parametersToDict(const ParameterList& list) {
    PyRef parameters(newDictFor(list.records.size()));
    if (!parameters) {
        return parameters;
    }
    const ModuleState& state = moduleState();
    for (const ParameterRecord& record : list.records) {
        PyRef own;
        PyObject* key = labelObject(state, record, own);
        PyRef value = key != nullptr ? valueObject(list, record) : PyRef();
        if (!value || PyDict_SetItem(parameters.get(), key, value.get()) != 0) {
            return PyRef();
        }
    }
    return parameters;
}

}  // namespace korvex
