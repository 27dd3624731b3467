// Parsing and checking a block triple, with the messages built as Python's + builds them.
#include "module/block_triple.hpp"

#include <initializer_list>
#include <string_view>

#include "format/block_type.hpp"
#include "module/names.hpp"
#include "module/state.hpp"

namespace korvex {

namespace {

// A piece of a message: fixed text, or an object that + joins as it sees fit.
struct Part {
    const char* text = nullptr;
    PyObject* object = nullptr;
    Part(const char* fixed) : text(fixed) {}
    Part(const PyRef& value) : object(value.get()) {}
};

// Sets ValueError with the parts joined left to right by +; a part that + refuses raises its
// TypeError instead.
void raiseJoined(std::initializer_list<Part> parts) {
    PyRef message;
    for (const Part& part : parts) {
        PyRef piece = part.text != nullptr ? PyRef(PyUnicode_FromString(part.text)) : PyRef::borrow(part.object);
        if (!piece) {
            return;
        }
        message = message ? PyRef(PyNumber_Add(message.get(), piece.get())) : std::move(piece);
        if (!message) {
            return;
        }
    }
    PyErr_SetObject(PyExc_ValueError, message.get());
}

PyRef upperItem(PyObject* datablock, long index) {
    PyRef key(PyLong_FromLong(index));
    PyRef item = key ? PyRef(PyObject_GetItem(datablock, key.get())) : PyRef();
    return item ? PyRef(PyObject_CallMethodNoArgs(item.get(), moduleState().upperName.get())) : PyRef();
}

// The code `name` maps to in `table`. When it is not a key, sets ValueError with the message the
// parts make; -1 with the exception set then, and when looking it up raised (an unhashable name).
long lookUpCode(PyObject* table, const PyRef& name, std::initializer_list<Part> message) {
    PyObject* code = PyDict_GetItemWithError(table, name.get());
    if (code == nullptr) {
        if (!PyErr_Occurred()) {
            raiseJoined(message);
        }
        return -1;
    }
    return PyLong_AsLong(code);
}

}  // namespace

bool parseRequest(PyObject* datablock, Request& request) {
    if (!(request.dataBlockType = upperItem(datablock, 0)) || !(request.dimensions = upperItem(datablock, 1)) ||
        !(request.deriv = upperItem(datablock, 2))) {
        return false;
    }
    PyObject* dimensions = request.dimensions.get();
    const int twoD = PyObject_RichCompareBool(dimensions, dimensionNameObject(0), Py_EQ);
    const int threeD = twoD == 0 ? PyObject_RichCompareBool(dimensions, dimensionNameObject(extendType3D), Py_EQ) : 0;
    if (twoD < 0 || threeD < 0) {
        return false;
    }
    if (twoD == 0 && threeD == 0) {
        raiseJoined({"Incorrect dimensions: ", request.dimensions, ". Dimensions need to be either 2D or 3D"});
        return false;
    }
    const long row = lookUpCode(moduleState().dataBlockCodes.get(), request.dataBlockType,
                                {"Invalid data block type: ", request.dataBlockType,
                                 ". Please enter a valid entry from the following: "
                                 "REFL, RAM, SPOW, RPOW, SPH, RPH, PAS, LREFL, KM, SIFG, RIFG, TR, EMIS, ATR, TRARI, "
                                 "ABARI, AB, TRC, SSC, RSC"});
    if (row < 0) {
        return false;
    }
    const long derivType = lookUpCode(moduleState().derivCodes.get(), request.deriv,
                                      {"Invalid deriv type: ", request.deriv,
                                       ".  Please select from the following: 1DER, 2DER, NDER or NONE"});
    if (derivType < 0) {
        return false;
    }
    request.codes = {static_cast<std::size_t>(row), threeD == 1 ? extendType3D : 0,
                     static_cast<std::int32_t>(derivType)};
    return true;
}

void raiseNoDataBlock(const Request& request) {
    raiseJoined({"No data block exists in the file for: ", request.dataBlockType, " ", request.dimensions, " ",
                 request.deriv});
}

void raiseNoUnderivedBlock(const Request& request) {
    raiseJoined({"No underived data block exists in the file for: ", request.dataBlockType, " ", request.dimensions,
                 " ", request.deriv});
}

}  // namespace korvex
