/* A user of the interface written in C99: encodes a WAVE file and decodes the result again,
 * checking that every frame arrives. Called by the encoder tests. */
#include <elq/elq.h>
#include <stdlib.h>

int elq_c_round_trip(const char* wave, const char* elq, unsigned long long* frames);

int elq_c_round_trip(const char* wave, const char* elq, unsigned long long* frames) {
    elq_encoder_settings settings = {.mode = "fast", .optimize = "none", .threads = 1};
    elq_encoder* encoder = NULL;
    elq_decoder* decoder = NULL;
    elq_info info;
    int32_t* values;
    size_t got = 0;
    int failed = elq_encoder_create(&encoder, &settings).code ||
                 elq_encoder_set_output_file(encoder, elq).code ||
                 elq_encoder_encode_file(encoder, wave).code;
    elq_encoder_destroy(encoder);
    if (failed || elq_decoder_open_file(&decoder, elq).code || elq_decoder_info(decoder, &info).code)
        return 1;
    values = malloc((info.total_frames + 1) * info.channels * sizeof *values);
    failed = !values || elq_decoder_read_int32(decoder, values, info.total_frames + 1, &got).code;
    *frames = got;
    free(values);
    elq_decoder_close(decoder);
    return failed ? 2 : 0;
}
