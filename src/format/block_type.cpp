// Naming a block by dataBlockDict.
#include "format/block_type.hpp"

namespace korvex {

std::optional<std::size_t> dataBlockIndex(const BlockTypeFields& fields) {
    for (std::size_t i = 0; i < dataBlockDict.size(); ++i) {
        if (namesBlock(dataBlockDict[i], fields)) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace korvex
