// Interned str objects for the names of dataBlockDict, the dimensions and the listing's derivatives.
#include "module/names.hpp"

#include <array>
#include <string_view>

#include "format/block_type.hpp"

namespace korvex {

namespace {

// Set once at import and never changed, so every thread may read them.
std::array<PyObject*, dataBlockDict.size()> dataBlockNames{};
std::array<PyObject*, 2> dimensionNames{};  // "2D", "3D"
std::array<PyObject*, listingDerivNames.size()> derivNames{};

constexpr std::array<const char*, 16> nameTexts = {
    "isOpusFile", "DataReturn", "dataType", "dimension", "derivative", "description", "x", "y",
    "maxY", "minY", "parameters", "mapX", "mapY", "spectra", "traces", "labels",
};
static_assert(nameTexts.size() == static_cast<std::size_t>(Name::labels) + 1, "a text for each Name, in order");
std::array<PyObject*, nameTexts.size()> names{};

PyObject* intern(std::string_view text) {
    PyObject* name = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (name != nullptr) {
        PyUnicode_InternInPlace(&name);
    }
    return name;
}

}  // namespace

bool initNames() {
    if (derivNames.back() != nullptr) {
        return true;  // a retried import after a failed one
    }
    for (std::size_t i = 0; i < dataBlockDict.size(); ++i) {
        if ((dataBlockNames[i] = intern(dataBlockDict[i].name)) == nullptr) {
            return false;
        }
    }
    if ((dimensionNames[0] = intern(dimensionName(0))) == nullptr ||
        (dimensionNames[1] = intern(dimensionName(extendType3D))) == nullptr) {
        return false;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        if ((names[i] = intern(nameTexts[i])) == nullptr) {
            return false;
        }
    }
    // Last, as a retried import tests it.
    for (std::size_t i = 0; i < listingDerivNames.size(); ++i) {
        if ((derivNames[i] = intern(listingDerivNames[i])) == nullptr) {
            return false;
        }
    }
    return true;
}

PyObject* dataBlockNameObject(std::size_t dataBlock) {
    return dataBlockNames[dataBlock];
}

PyObject* dimensionNameObject(std::int32_t extendType) {
    return dimensionNames[extendType == extendType3D ? 1 : 0];
}

PyObject* nameObject(Name name) {
    return names[static_cast<std::size_t>(name)];
}

const char* nameText(Name name) {
    return nameTexts[static_cast<std::size_t>(name)];
}

PyObject* listingDerivNameObject(std::int32_t derivType) {
    return derivNames[static_cast<std::size_t>(derivType)];
}

}  // namespace korvex
