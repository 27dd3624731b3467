// The texts of the Names, and the interned names of the module state.
#include "module/names.hpp"

#include <array>

#include "module/state.hpp"

namespace korvex {

namespace {

constexpr std::array<const char*, nameCount> nameTexts = {
    "isOpusFile", "DataReturn", "dataType", "dimension", "derivative", "description", "x", "y",
    "maxY", "minY", "parameters", "mapX", "mapY", "spectra", "traces", "labels",
};
static_assert(nameTexts.back() != nullptr, "a text for each Name, in order");

}  // namespace

PyObject* dataBlockNameObject(std::size_t dataBlock) {
    return moduleState().dataBlockNames[dataBlock].get();
}

PyObject* dimensionNameObject(std::int32_t extendType) {
    return moduleState().dimensionNames[extendType == extendType3D ? 1 : 0].get();
}

PyObject* nameObject(Name name) {
    return moduleState().names[static_cast<std::size_t>(name)].get();
}

const char* nameText(Name name) {
    return nameTexts[static_cast<std::size_t>(name)];
}

PyObject* listingDerivNameObject(std::int32_t derivType) {
    return moduleState().derivNames[static_cast<std::size_t>(derivType)].get();
}

}  // namespace korvex
