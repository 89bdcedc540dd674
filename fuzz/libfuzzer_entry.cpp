// The libFuzzer entry of the target whose name ELQ_FUZZ_TARGET holds.
#include <string_view>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto run = [] {
        for (const elq::fuzz::Target& target : elq::fuzz::kTargets)
            if (std::string_view(target.name) == ELQ_FUZZ_TARGET) return target.run;
        elq::fuzz::fail("no target " ELQ_FUZZ_TARGET, __FILE__, __LINE__);
    }();
    return run(data, size);
}
