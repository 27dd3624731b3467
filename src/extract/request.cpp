// The directory scan of a request: rules A to F, tried in order, the last match of each kind kept.
#include "extract/request.hpp"

#include "format/block_type.hpp"
#include "format/directory.hpp"
#include "format/header.hpp"

namespace korvex {

namespace {

// paramType codes of the parameter blocks that every request merges.
constexpr std::int32_t instrumentParamType = 2;
constexpr std::int32_t acquisitionParamType = 3;
constexpr std::int32_t ftParamType = 4;
constexpr std::int32_t sampleParamType = 10;

// Sample type of the sample-side data block types ("SSC", "SIFG", "SPH", "SPOW").
constexpr std::int32_t sampleSide = 1;

void applyRules(const BlockRequest& request, const DirectoryEntry& entry, BlockLocations& found) {
    const BlockTypeFields fields = decodeBlockType(entry.blockType);
    const DataBlockType& row = dataBlockDict[request.dataBlockRow];
    const bool ofKind = namesBlock(row, fields) && fields.extendType == request.extendType;
    if (ofKind && fields.derivType == request.derivType) {  // A: the requested data
        if (fields.paramType == dataValuesParamType) {
            found.offsetToData = entry.byteOffset;
        } else if (fields.paramType == dataParametersParamType) {
            found.offsetToParams = entry.byteOffset;
        }
    } else if (ofKind && fields.derivType == 0) {  // B: the underived data of the same kind
        if (fields.paramType == dataParametersParamType) {
            found.offsetToOriginalParams = entry.byteOffset;
        }
    } else if (fields.paramType == acquisitionParamType) {  // C
        found.offsetToAcqParams = entry.byteOffset;
    } else if (fields.paramType == instrumentParamType) {  // D: by sample type
        // A reference-side request takes reference-side blocks only; a sample-side request also
        // takes those of sample type 0, and a request of any other type only those.
        if (fields.sampleType == row.sampleType ||
            (fields.sampleType == 0 && (row.sampleType == sampleSide || row.sampleType == anySampleType))) {
            found.offsetToInstParams = entry.byteOffset;
        }
    } else if (fields.paramType == sampleParamType) {  // E
        found.offsetToSampleParams = entry.byteOffset;
    } else if (fields.paramType == ftParamType) {  // F
        found.offsetToFTParams = entry.byteOffset;
    }
}

}  // namespace

Result<BlockLocations> locateBlocks(Cursor& cursor, const BlockRequest& request) {
    const FileHeader header = readFileHeader(cursor);
    auto walk = DirectoryWalk::start(cursor, header);
    if (!walk.ok()) {
        return walk.error();
    }
    BlockLocations found;
    while (const auto entry = walk.value().next()) {
        applyRules(request, *entry, found);
    }
    return found;
}

}  // namespace korvex
