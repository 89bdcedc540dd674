#include "frontend/stream_decoder.h"

#include "foundation/allocator.h"
#include "frontend/block_decoder.h"

namespace elq {

namespace {

// Values decoded per piece: bounds the decoder's memory for any block length.
constexpr uint32_t kPieceValues = 1u << 18;

}  // namespace

uint32_t readCompressedBlock(InputStream& stream, BlockSink& sink, ProgressSink progress) {
    BlockDecoder block;
    if (!block.readHead(stream)) return 0;
    const BlockHead& head = block.head();
    const uint32_t count = head.count;
    sink.beginBlock(count, head.word.sampleType, head.word.channelCode);
    block.start(stream, progress);
    Buffer<int32_t> piece(count < kPieceValues ? count : kPieceValues, "data");
    while (block.valuesLeft() > 0) {
        const uint32_t got = block.read(piece.data(), kPieceValues);
        sink.putSamples(piece.data(), got);
    }
    block.finish();
    return count;
}

}  // namespace elq
