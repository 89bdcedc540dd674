// The blocks of an ELQ file's bytes, found as the decoder finds them: from behind the "HEAD"
// section, one head after the other, through the block format's own parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/block_format.h"
#include "frontend/container.h"

namespace elq::test {

struct BlockAt {
    size_t offset;  // of the block's first byte
    BlockHead head;
    size_t end() const { return offset + 8 + head.length; }
};

// Follows the length fields up to the first place that holds no complete block head.
inline std::vector<BlockAt> blocksOf(const std::string& elq) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(elq.data());
    std::vector<BlockAt> blocks;
    if (elq.size() < kHeadDataOffset) return blocks;
    size_t at = kHeadDataOffset;
    for (int k = 0; k < 4; ++k)  // plus the stored length in front of the "HEAD" bytes
        at += static_cast<size_t>(bytes[kHeadDataOffset - 4 + k]) << (8 * k);
    BlockHead head;
    for (; at + kBlockHeadSize <= elq.size() && parseBlockHead(bytes + at, head); at += 8 + head.length)
        blocks.push_back({at, head});
    return blocks;
}

}  // namespace elq::test
