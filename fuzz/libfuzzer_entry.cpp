// The libFuzzer entry of one target; ELQ_FUZZ_FUNCTION names the target function.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    elq::fuzz::prepareProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return elq::fuzz::ELQ_FUZZ_FUNCTION(data, size);
}
