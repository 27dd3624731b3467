// The parameter labels that getOpusData's results are built from, and their lookup.
#pragma once

#include "module/py_ref.hpp"

#include <cstddef>
#include <string_view>

#include "extract/assembly.hpp"

namespace korvex {

// The labels of the map branch, in the core's order (mapLabels); the spectrum's are among them.
enum class Label { NPT, FXV, LXV, AOX, AOY, DDX, DDY, NPX, NPY, MXY, MNY };
inline constexpr std::size_t labelCount = static_cast<std::size_t>(Label::MNY) + 1;

// The label's text.
std::string_view labelName(Label label);

// The label as an interned str, borrowed.
PyObject* labelText(Label label);

// parameters[label], borrowed; KeyError(label) when it is missing.
PyObject* lookUp(PyObject* parameters, Label label);

// Sets KeyError(label) for a label that the parameters lack; returns nullptr.
PyObject* raiseMissingLabel(std::string_view label);

// Sets ValueError("NPT of 268435456 is more than a file of 148 bytes can hold"); returns nullptr.
PyObject* raiseCountPastFile(const CountPastFile& past);

}  // namespace korvex
