/* Decodes the ELQ file named by its argument and writes its samples to standard output as the
 * source's own PCM bytes: what follows the data chunk's header in the WAVE file it was made from.
 * Build: cc elq_decode.c $(pkg-config --cflags --libs elq) -o elq_decode */
#include <elq/elq.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    elq_decoder* decoder;
    elq_info info;
    elq_status status;
    unsigned char* pcm;
    size_t frames;
    if (argc != 2) {
        fprintf(stderr, "usage: %s FILE.elq > samples.pcm\n", argv[0]);
        return 2;
    }
    status = elq_decoder_open_file(&decoder, argv[1]);
    if (status.code == ELQ_OK) status = elq_decoder_info(decoder, &info);
    if (status.code != ELQ_OK) {
        fprintf(stderr, "%s: %s\n", argv[1], status.message);
        return 1;
    }
    pcm = malloc(4096 * info.channels * info.bytes_per_sample);
    do {
        status = elq_decoder_read_pcm(decoder, pcm, 4096, &frames);
        fwrite(pcm, info.channels * info.bytes_per_sample, frames, stdout);
    } while (status.code == ELQ_OK && frames > 0);
    if (status.code != ELQ_OK) fprintf(stderr, "%s: %s\n", argv[1], status.message);
    free(pcm);
    elq_decoder_close(decoder);
    return status.code == ELQ_OK && fflush(stdout) == 0 ? 0 : 1;
}
