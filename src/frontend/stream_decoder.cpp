#include "frontend/stream_decoder.h"

#include "entropy/range_coder.h"
#include "foundation/allocator.h"
#include "frontend/block_format.h"
#include "prediction/mono_predictor.h"
#include "prediction/sample_normalizer.h"
#include "prediction/stereo_predictor.h"
#include "residual/residual_coder.h"
#include "wave/sample_type.h"

namespace elq {

namespace {

// Values decoded per piece: bounds the decoder's memory for any block length.
constexpr uint32_t kPieceValues = 1u << 18;

// Turns the predictor's per-piece fractions into fractions of the whole block.
struct PieceProgress {
    ProgressSink outer;
    double done = 0;
    double pieceLength = 0;
    double blockLength = 1;

    static void report(void* context, double fraction) {
        auto* self = static_cast<PieceProgress*>(context);
        self->outer.report(self->outer.context,
                           (self->done + fraction * self->pieceLength) / self->blockLength);
    }
    ProgressSink sink() { return outer.report ? ProgressSink{&PieceProgress::report, this} : ProgressSink{}; }
};

template <class Normalizer, class Predictor>
void decodePieces(RangeDecoder& decoder, Normalizer& normalizer, Predictor& predictor,
                  ResidualDecoder& residual, uint32_t count, BlockSink& sink, PieceProgress& progress) {
    Buffer<int32_t> piece(count < kPieceValues ? count : kPieceValues, "data");
    for (uint32_t done = 0; done < count;) {
        uint32_t n = count - done < kPieceValues ? count - done : kPieceValues;
        progress.done = done;
        progress.pieceLength = n;
        uint32_t got = predictor.decodeBlock(residual, decoder, n, piece.data());
        normalizer.restore(piece.data(), got);
        sink.putSamples(piece.data(), got);
        done += got;
    }
}

}  // namespace

uint32_t readCompressedBlock(InputStream& stream, BlockSink& sink, ProgressSink progress) {
    BlockHead head;
    if (!readBlockHead(stream, head)) return 0;
    checkBlockHead(head);
    const uint32_t count = head.count;
    const BlockWord& word = head.word;
    const bool stereo = word.channelCode == 1;
    sink.beginBlock(count, word.sampleType, word.channelCode);

    RangeDecoder decoder;
    decoder.start(stream);
    PieceProgress pieces{progress, 0, 0, count ? static_cast<double>(count) : 1.0};
    uint32_t bits = kBitsPerSample[word.sampleType];
    Owned<ResidualDecoder> residual = createResidualDecoder(word.family, stereo);
    uint32_t width;
    if (!stereo) {
        SampleNormalizerDecoder normalizer;
        normalizer.setSampleBits(bits);
        normalizer.readParameters(decoder);
        int32_t lo, hi;
        normalizer.query(lo, hi, width);
        Owned<MonoPredictorDecoder> predictor = makeOwned<MonoPredictorDecoder>("ipmop");
        predictor->setParameters(lo, hi, width, pieces.sink());
        predictor->readParameters(decoder);
        residual->setParameters(count, width);
        residual->readParameters(decoder);
        decodePieces(decoder, normalizer, *predictor, *residual, count, sink, pieces);
    } else {
        StereoSampleNormalizerDecoder normalizer;
        normalizer.setSampleBits(bits);
        normalizer.readParameters(decoder);
        int32_t loLeft, hiLeft, loRight, hiRight;
        normalizer.query(loLeft, hiLeft, loRight, hiRight, width);
        Owned<StereoPredictorDecoder> predictor = makeOwned<StereoPredictorDecoder>("ipsop");
        predictor->setParameters(loLeft, hiLeft, loRight, hiRight, width, pieces.sink());
        predictor->readParameters(decoder);
        residual->setParameters(count, width);
        residual->readParameters(decoder);
        decodePieces(decoder, normalizer, *predictor, *residual, count, sink, pieces);
    }
    decoder.finish();
    return count;
}

}  // namespace elq
