// The contents listing over the header and the directory walk.
#include "format/contents.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "format/block_type.hpp"
#include "format/directory.hpp"
#include "format/header.hpp"

namespace korvex {

namespace {

constexpr std::array<std::string_view, 8> frontSet = {"AB", "TR", "REFL", "ATR", "PAS", "RAM", "KM", "EMIS"};

bool inFrontSet(std::string_view name) {
    return std::find(frontSet.begin(), frontSet.end(), name) != frontSet.end();
}

}  // namespace

Result<std::vector<ListedBlock>> listContents(Cursor& cursor) {
    const FileHeader header = readFileHeader(cursor);
    auto walk = DirectoryWalk::start(cursor, header);
    if (!walk.ok()) {
        return walk.error();
    }
    std::vector<ListedBlock> front;
    std::vector<ListedBlock> rest;
    while (const auto entry = walk.value().next()) {
        const BlockTypeFields fields = decodeBlockType(entry->blockType);
        if (fields.paramType != dataParametersParamType) {
            continue;
        }
        const auto dataBlockRow = dataBlockIndex(fields);
        if (!dataBlockRow) {
            continue;
        }
        const ListedBlock listed{*dataBlockRow, fields.extendType, fields.derivType};
        (inFrontSet(dataBlockDict[*dataBlockRow].name) ? front : rest).push_back(listed);
    }
    // Each front-set block was put before the ones already listed: the front is in reverse order.
    std::vector<ListedBlock> listing(front.rbegin(), front.rend());
    listing.insert(listing.end(), rest.begin(), rest.end());
    return listing;
}

}  // namespace korvex
