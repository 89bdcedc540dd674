#include "prediction/kernels.h"

namespace elq {

namespace {

KernelSet detectKernelSet() {
#ifdef ELQ_AVX2_KERNELS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return KernelSet::avx2;
#endif
    return KernelSet::portable;
}

KernelSet& kernelSetInUse() {
    static KernelSet set = detectKernelSet();
    return set;
}

}  // namespace

KernelSet activeKernelSet() {
    return kernelSetInUse();
}

bool kernelSetSupported(KernelSet set) {
    return set == KernelSet::portable || detectKernelSet() == set;
}

bool selectKernelSet(KernelSet set) {
    if (!kernelSetSupported(set)) return false;
    kernelSetInUse() = set;
    return true;
}

bool decomposeAndSolve(double* a, double* d, double* b, double* scratch, uint32_t n, KernelSet set) {
    return runWithKernels(set, [=]<class V>() ELQ_ALWAYS_INLINE_LAMBDA {
        return decomposeAndSolveWith<V>(a, d, b, scratch, n);
    });
}

}  // namespace elq
