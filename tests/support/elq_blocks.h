// The blocks of an ELQ file's bytes as the decoder finds them: from behind the "HEAD" section,
// one head after the other by their length fields, read by the block format's own parser.
#pragma once

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

// Up to the first place that holds no complete block head.
inline std::vector<BlockAt> blocksOf(const std::string& elq) {
    const auto* b = reinterpret_cast<const uint8_t*>(elq.data());
    size_t at = kHeadDataOffset + (b[24] | b[25] << 8 | b[26] << 16 | size_t{b[27]} << 24);
    std::vector<BlockAt> blocks;
    BlockHead head;
    for (; at + kBlockHeadSize <= elq.size() && parseBlockHead(b + at, head); at += 8 + head.length)
        blocks.push_back({at, head});
    return blocks;
}

}  // namespace elq::test
