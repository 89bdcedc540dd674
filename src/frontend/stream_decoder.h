// The decoder of one compressed block.
#pragma once

#include <cstdint>

#include "foundation/stream.h"
#include "prediction/block_predictor.h"

namespace elq {

// Receives a block's decoded sample values, in order, a piece at a time.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    // Called once before the first piece, with the block's values and sample type.
    virtual void beginBlock(uint32_t count, uint32_t sampleType, uint32_t channelCode) = 0;
    virtual void putSamples(const int32_t* values, uint32_t count) = 0;
};

// Decodes the block at the stream's position and hands its values to `sink`; the stream is
// left right behind the block. Returns the block's value count, or 0 (stream unmoved) when
// no block starts here. `progress` receives the completed fraction of the block.
// Memory stays bounded whatever count the block head claims: values are decoded in pieces.
uint32_t readCompressedBlock(InputStream& stream, BlockSink& sink, ProgressSink progress);

}  // namespace elq
