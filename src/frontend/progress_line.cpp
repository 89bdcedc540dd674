#include "frontend/progress_line.h"

#include <cstdio>

namespace elq {

void ProgressLine::show(double percent) {
    if (silent_) return;
    if (percent - lastShown_ >= 1.0) {
        fprintf(stderr, "\r%s %7.1f%%", action_, percent);
        lastShown_ = percent;
    }
}

}  // namespace elq
