#include "frontend/info_command.h"

#include <cstdio>
#include <cstring>

#include "foundation/exception.h"
#include "foundation/stream.h"
#include "frontend/container.h"
#include "wave/sample_type.h"

namespace elq {

bool printFileInfo(const char* name, bool first) {
    if (first) printf("Filename                          Sampling Channels Type        Length   Ratio\n\n");
    char shown[36];
    snprintf(shown, sizeof shown, "%s", name);
    try {
        InputStream in;
        in.open(name);
        bool ours = readMagic(in);
        printf("%-35s", shown);
        if (!ours) {
            printf("  -- not an ELQ file -- \n");
            in.close();
            return false;
        }
        ContainerHeader header = readHeaderFields(in);
        // No encoder writes these; length and ratio cannot be computed for them.
        if (header.channels == 0 || header.sampleType >= kSampleTypeCount || header.sampleRate == 0) {
            printf("  -- damaged ELQ header -- \n");
            in.close();
            return false;
        }
        // All 48 bits of the total and 64 of the size: RF64 sources make files beyond 32 bits.
        const uint64_t total = header.totalSamples;
        double length = static_cast<double>(total / header.channels) / header.sampleRate;
        double ratio = static_cast<double>(in.size()) * 100.0 /
                       (kBitsPerSample[header.sampleType] * 0.125 * static_cast<double>(total) + 1.0);
        printf("  %5lu Hz  %-4lu %-10s %7.1fs %6.2f%%\n", static_cast<unsigned long>(header.sampleRate),
               static_cast<unsigned long>(header.channels), kSampleTypeNames[header.sampleType], length,
               ratio);
        in.close();
        return true;
    } catch (const Exception& e) {
        fprintf(stderr, "\n%s\n", e.format());
        return false;
    }
}

}  // namespace elq
