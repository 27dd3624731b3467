// Block type codes: their six fields, and the names of data block types, dimensions and derivatives.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace korvex {

// Masks of the fields of a block type code, applied after shifting the field down to bit 0.
//
//   bits    field        shift  mask
//   0-1     complexType  0      DBMCPLX   3
//   2-3     sampleType   2      DBMSTYP   3
//   4-9     paramType    4      DBMPARM   63
//   10-16   dataType     10     DBMDATA   127
//   17-18   derivType    17     DBMDERIV  3
//   19-25   extendType   19     DBMXTND   127
//   26-31   (no field; ignored)
inline constexpr std::int32_t DBMCPLX = 3;
inline constexpr std::int32_t DBMSTYP = 3;
inline constexpr std::int32_t DBMPARM = 63;
inline constexpr std::int32_t DBMDATA = 127;
inline constexpr std::int32_t DBMDERIV = 3;
inline constexpr std::int32_t DBMXTND = 127;

// paramType of the block holding a data block's values, and of the data parameter block beside it.
inline constexpr std::int32_t dataValuesParamType = 0;
inline constexpr std::int32_t dataParametersParamType = 1;

// extendType of a three-dimensional (map) data block.
inline constexpr std::int32_t extendType3D = 10;

struct BlockTypeFields {
    std::int32_t complexType;
    std::int32_t sampleType;
    std::int32_t paramType;
    std::int32_t dataType;
    std::int32_t derivType;
    std::int32_t extendType;
};

// Every field is non-negative whatever the sign of the code: none reaches bit 26.
constexpr BlockTypeFields decodeBlockType(std::int32_t blockType) {
    return {
        (blockType >> 0) & DBMCPLX,  (blockType >> 2) & DBMSTYP,   (blockType >> 4) & DBMPARM,
        (blockType >> 10) & DBMDATA, (blockType >> 17) & DBMDERIV, (blockType >> 19) & DBMXTND,
    };
}

// One row of dataBlockDict: a data block type name, its dataType code and the sampleType it
// requires (anySampleType: every sampleType matches).
struct DataBlockType {
    std::string_view name;
    std::int32_t dataType;
    std::int32_t sampleType;
};

inline constexpr std::int32_t anySampleType = -1;

// The 20 data block types. Four codes are shared by a pair told apart by sampleType 1 and 2.
inline constexpr std::array<DataBlockType, 20> dataBlockDict = {{
    {"REFL", 12, anySampleType},
    {"RAM", 10, anySampleType},
    {"SPOW", 14, 1},
    {"RPOW", 14, 2},
    {"SPH", 3, 1},
    {"RPH", 3, 2},
    {"PAS", 17, anySampleType},
    {"LREFL", 15, anySampleType},
    {"KM", 6, anySampleType},
    {"SIFG", 2, 1},
    {"RIFG", 2, 2},
    {"TR", 5, anySampleType},
    {"EMIS", 11, anySampleType},
    {"ATR", 16, anySampleType},
    {"TRARI", 18, anySampleType},
    {"ABARI", 19, anySampleType},
    {"AB", 4, anySampleType},
    {"TRC", 7, anySampleType},
    {"SSC", 1, 1},
    {"RSC", 1, 2},
}};

// Whether a row of dataBlockDict names a block of these fields.
constexpr bool namesBlock(const DataBlockType& row, const BlockTypeFields& fields) {
    return row.dataType == fields.dataType && (row.sampleType == anySampleType || row.sampleType == fields.sampleType);
}

// Index in dataBlockDict of the row that names a block of these fields; none for dataType codes
// without a row, and for sampleType 0 or 3 where the row requires 1 or 2. At most one row matches.
std::optional<std::size_t> dataBlockIndex(const BlockTypeFields& fields);

// "3D" for extendType 10, "2D" for every other value.
constexpr std::string_view dimensionName(std::int32_t extendType) {
    return extendType == extendType3D ? "3D" : "2D";
}

// The listing's names of derivType 0 to 3 (the request side calls 3 "NDER").
inline constexpr std::array<std::string_view, 4> listingDerivNames = {"NONE", "1DER", "2DER", "3DER"};

}  // namespace korvex
