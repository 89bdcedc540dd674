#include "entropy/range_coder.h"

namespace elq {

void RangeEncoder::finish() {
    normalize();
    uint32_t t = low >> 23;  // nine bits: above 0xFF a carry reaches the bytes in hand
    if (t > 0xFF) {
        put(static_cast<uint8_t>(cache + 1));
        putRun(0x00, pending);
    } else {
        put(cache);
        putRun(0xFF, pending);
    }
    pending = 0;
    put(static_cast<uint8_t>(t));
    putRun(0xFF, 3);
    data = nullptr;
}

}  // namespace elq
