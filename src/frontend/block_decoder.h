// The pull decoder of one compressed block: the caller asks for values as it needs them, and
// residual decoder, predictor and normalizer carry on from where the previous call stopped.
// Both the push interface of the commands (stream_decoder) and the library's reader use it.
#pragma once

#include <cstdint>

#include "entropy/range_coder.h"
#include "foundation/allocator.h"
#include "foundation/stream.h"
#include "frontend/block_format.h"
#include "prediction/mono_predictor.h"
#include "prediction/sample_normalizer.h"
#include "prediction/stereo_predictor.h"
#include "residual/residual_coder.h"

namespace elq {

class BlockDecoder {
public:
    BlockDecoder() = default;
    BlockDecoder(const BlockDecoder&) = delete;
    BlockDecoder& operator=(const BlockDecoder&) = delete;

    // Reads and checks the head of the block at the stream's position (checkBlockHead). False,
    // with the stream unmoved, when no block starts there.
    bool readHead(InputStream& stream);
    const BlockHead& head() const { return head_; }
    // Reads the payload's parameters; values can be read from here on. `progress` receives the
    // fraction of the block done, `stream` must stay alive until finish().
    void start(InputStream& stream, ProgressSink progress = {});
    // Decodes min(`max`, values left) values into `out` and returns that count (0 once the block
    // is done). In a stereo block `max` must be even.
    uint32_t read(int32_t* out, uint32_t max);
    uint32_t valuesLeft() const { return head_.count - done_; }
    // Ends the payload: the stream is left right behind the block.
    void finish();

private:
    // Turns the predictor's fractions of one call into fractions of the whole block.
    static void reportPiece(void* context, double fraction);

    BlockHead head_{};
    RangeDecoder decoder_;
    Owned<ResidualDecoder> residual_;
    SampleNormalizerDecoder monoNormalizer_;
    StereoSampleNormalizerDecoder stereoNormalizer_;
    Owned<MonoPredictorDecoder> monoPredictor_;
    Owned<StereoPredictorDecoder> stereoPredictor_;
    ProgressSink progress_;
    uint32_t done_ = 0;
    uint32_t pieceLength_ = 0;
};

}  // namespace elq
