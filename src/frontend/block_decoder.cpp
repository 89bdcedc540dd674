#include "frontend/block_decoder.h"

#include "wave/sample_type.h"

namespace elq {

bool BlockDecoder::readHead(InputStream& stream) {
    if (!readBlockHead(stream, head_)) return false;
    checkBlockHead(head_);
    done_ = 0;
    return true;
}

void BlockDecoder::reportPiece(void* context, double fraction) {
    auto* self = static_cast<BlockDecoder*>(context);
    const double blockLength = self->head_.count ? static_cast<double>(self->head_.count) : 1.0;
    self->progress_.report(self->progress_.context,
                           (self->done_ + fraction * self->pieceLength_) / blockLength);
}

void BlockDecoder::start(InputStream& stream, ProgressSink progress) {
    progress_ = progress;
    const ProgressSink pieces =
        progress.report ? ProgressSink{&BlockDecoder::reportPiece, this} : ProgressSink{};
    const BlockWord& word = head_.word;
    const bool stereo = word.channelCode == 1;
    decoder_.start(stream);
    const uint32_t bits = kBitsPerSample[word.sampleType];
    residual_ = createResidualDecoder(word.family, stereo);
    uint32_t width;
    if (!stereo) {
        monoNormalizer_.setSampleBits(bits);
        monoNormalizer_.readParameters(decoder_);
        int32_t lo, hi;
        monoNormalizer_.query(lo, hi, width);
        monoPredictor_ = makeOwned<MonoPredictorDecoder>("ipmop");
        monoPredictor_->setParameters(lo, hi, width, pieces);
        monoPredictor_->readParameters(decoder_);
    } else {
        stereoNormalizer_.setSampleBits(bits);
        stereoNormalizer_.readParameters(decoder_);
        int32_t loLeft, hiLeft, loRight, hiRight;
        stereoNormalizer_.query(loLeft, hiLeft, loRight, hiRight, width);
        stereoPredictor_ = makeOwned<StereoPredictorDecoder>("ipsop");
        stereoPredictor_->setParameters(loLeft, hiLeft, loRight, hiRight, width, pieces);
        stereoPredictor_->readParameters(decoder_);
    }
    residual_->setParameters(head_.count, width);
    residual_->readParameters(decoder_);
}

uint32_t BlockDecoder::read(int32_t* out, uint32_t max) {
    pieceLength_ = max < valuesLeft() ? max : valuesLeft();
    uint32_t got;
    if (head_.word.channelCode == 0) {
        got = monoPredictor_->decodeBlock(*residual_, decoder_, max, out);
        monoNormalizer_.restore(out, got);
    } else {
        got = stereoPredictor_->decodeBlock(*residual_, decoder_, max, out);
        stereoNormalizer_.restore(out, got);
    }
    done_ += got;
    return got;
}

void BlockDecoder::finish() {
    decoder_.finish();
}

}  // namespace elq
