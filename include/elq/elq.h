/* ELQ: lossless compression of PCM WAVE audio. The C interface of libelq.
 *
 * Every function returns an elq_status: code ELQ_OK (0) on success, otherwise one of the
 * ELQ_ERROR_ codes with a message saying what failed. No call throws, aborts or prints.
 *
 * Handles are opaque. One handle must not be used by two threads at once; distinct handles may
 * be used on distinct threads at the same time. Every call sets the floating-point mode the
 * codec needs (round to nearest, no traps) on the calling thread and restores the caller's on
 * return.
 *
 * Samples: 8-bit unsigned and 16-, 24- and 32-bit signed integer PCM, mono or stereo, at any
 * sampling rate. Frames hold one sample per channel; interleaved data holds the frames one after
 * the other, the left channel first.
 */
#ifndef ELQ_ELQ_H
#define ELQ_ELQ_H

#include <stddef.h>
#include <stdint.h>

#if defined(ELQ_BUILDING_LIBRARY) && defined(__GNUC__) && !defined(_WIN32)
#define ELQ_API __attribute__((visibility("default")))
#else
#define ELQ_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define ELQ_VERSION_MAJOR 1
#define ELQ_VERSION_MINOR 0

/* ---- status ---- */

enum elq_code {
    ELQ_OK = 0,
    ELQ_ERROR_ARGUMENT = 1,    /* an argument is invalid (a null pointer, a value out of range) */
    ELQ_ERROR_IO = 2,          /* a file could not be opened, read or written, or a callback failed */
    ELQ_ERROR_FORMAT = 3,      /* not an ELQ file, or a WAVE source this codec does not take */
    ELQ_ERROR_DAMAGED = 4,     /* the data is damaged or cut short; the message names where */
    ELQ_ERROR_UNSUPPORTED = 5, /* the source cannot do it: going back in a stream that cannot seek */
    ELQ_ERROR_NOT_YET = 6,     /* known only once the last frame of a stream has been read */
    ELQ_ERROR_MEMORY = 7,      /* memory ran out */
    ELQ_ERROR_INTERNAL = 8     /* an unexpected failure inside the library */
};

typedef struct elq_status {
    int code;          /* an elq_code */
    char message[256]; /* "" on success; otherwise what failed, as one line of text */
} elq_status;

/* ---- callbacks ---- */

/* A source of bytes. `read` returns the bytes it placed in `buffer` (at most `size`), 0 at the
 * end, or a negative value on failure. `seek` (absolute, from the start) returns 0 on success; a
 * source that cannot seek leaves it NULL. `size` returns the source's length in bytes, or a
 * negative value when it is not known; it may be NULL, and is needed with `seek`. */
typedef struct elq_reader_io {
    int64_t (*read)(void* user, void* buffer, size_t size);
    int (*seek)(void* user, uint64_t offset);
    int64_t (*size)(void* user);
} elq_reader_io;

/* A destination of bytes. `write` returns 0 when all `size` bytes were taken. `seek` (absolute)
 * returns 0 on success; a destination that cannot go back leaves it NULL. */
typedef struct elq_writer_io {
    int (*write)(void* user, const void* bytes, size_t size);
    int (*seek)(void* user, uint64_t offset);
} elq_writer_io;

/* ---- decoder ---- */

typedef struct elq_decoder elq_decoder;

/* Sample types, as the file stores them. */
enum elq_sample_type { ELQ_SAMPLE_U8 = 0, ELQ_SAMPLE_S16 = 3, ELQ_SAMPLE_S24 = 5, ELQ_SAMPLE_S32 = 7 };

typedef struct elq_info {
    uint32_t sample_rate;      /* frames per second */
    uint32_t channels;         /* 1 or 2 */
    uint32_t sample_type;      /* an elq_sample_type */
    uint32_t bits_per_sample;  /* 8, 16, 24 or 32 */
    uint32_t bytes_per_sample; /* 1, 2, 3 or 4: the width of a sample in the PCM bytes */
    uint64_t total_frames;
    /* The WAVE file's bytes in front of its samples (its header, up to the data chunk's size
     * field included). Valid while the decoder is open. */
    const uint8_t* header;
    size_t header_length;
    /* The WAVE file's bytes after its samples, valid until the next read or seek. A source that
     * can seek has them from the start; from one that cannot, they are known only once the last
     * frame has been read: until then trailer_known is 0 and trailer is NULL. */
    int trailer_known;
    const uint8_t* trailer;
    size_t trailer_length;
    /* 1 when the file carries a checksum section (elq --crc), 0 when it does not, -1 while not
     * known (a stream that cannot seek, before its last frame has been read). */
    int checksum;
} elq_info;

/* Opens the ELQ file at `path`, which must be a regular file. */
ELQ_API elq_status elq_decoder_open_file(elq_decoder** decoder, const char* path);
/* Opens an ELQ file held in memory; the `size` bytes at `data` must stay until the close. */
ELQ_API elq_status elq_decoder_open_memory(elq_decoder** decoder, const void* data, size_t size);
/* Opens an ELQ file read through callbacks; `io` is copied, `user` is passed to each call.
 * With a seek callback the decoder finds the blocks, the trailer and the checksum section at the
 * start. Without one, the file is read once from start to end: seeks go forward only, and the
 * trailer and the checksum's verdict (elq_decoder_check) become available only after the last
 * frame has been read. */
ELQ_API elq_status elq_decoder_open_io(elq_decoder** decoder, const elq_reader_io* io, void* user);
/* Frees the decoder (a NULL decoder is accepted). */
ELQ_API elq_status elq_decoder_close(elq_decoder* decoder);

ELQ_API elq_status elq_decoder_info(const elq_decoder* decoder, elq_info* info);

/* Decodes up to `frames` frames from the current position as interleaved 32-bit values (8-bit
 * samples as -128 to 127, the WAVE byte minus 128) into `out`, which holds frames * channels
 * values. `*frames_read` receives the count, which is below `frames` only at the end. */
ELQ_API elq_status elq_decoder_read_int32(elq_decoder* decoder, int32_t* out, size_t frames,
                                          size_t* frames_read);
/* As elq_decoder_read_int32, as the bytes the WAVE file holds them in (what follows its data
 * chunk's header): `out` holds frames * channels * bytes_per_sample bytes. */
ELQ_API elq_status elq_decoder_read_pcm(elq_decoder* decoder, void* out, size_t frames, size_t* frames_read);

/* Makes `frame` (0 to total_frames) the next frame read. A source that cannot seek goes forward
 * only (ELQ_ERROR_UNSUPPORTED otherwise), by decoding the frames between. */
ELQ_API elq_status elq_decoder_seek(elq_decoder* decoder, uint64_t frame);
ELQ_API elq_status elq_decoder_tell(const elq_decoder* decoder, uint64_t* frame);

/* Checks the file in full: every block decodes and, when a checksum section is present, every
 * checksum and the MD5 of the WAVE file match. ELQ_OK with `*verified` 1 when they all matched,
 * 0 when the file carries no checksum section; ELQ_ERROR_DAMAGED names what differs. `md5` (may
 * be NULL) receives the MD5 of the decoded WAVE file. The read position is kept. For a source
 * that cannot seek, the check is made as the file is read, and its verdict is given once the
 * last frame has been read (ELQ_ERROR_NOT_YET before). */
ELQ_API elq_status elq_decoder_check(elq_decoder* decoder, int* verified, unsigned char md5[16]);

/* ---- encoder ---- */

typedef struct elq_encoder elq_encoder;

/* The command line's settings. A NULL word, like a zeroed record, means the default. */
typedef struct elq_encoder_settings {
    const char* mode;     /* "fast", "normal" (default), "high", "extra", "best", "ultra", "insane" */
    const char* speedup;  /* "1x", "2x", "4x" (default) */
    const char* optimize; /* "none", "fast" (default), "normal", "high", "best" */
    const char* seek;     /* "fast", "normal" (default), "slow" */
    int threads;          /* worker threads, 1 to 64; 0 uses every core the process may run on */
    int crc;              /* nonzero: append the checksum section */
} elq_encoder_settings;

/* The format of raw PCM samples, as a WAVE file would hold them. */
typedef struct elq_raw_format {
    uint32_t sample_rate;
    uint32_t channels;        /* 1 or 2 */
    uint32_t bits_per_sample; /* 8 (unsigned), 16, 24 or 32 (signed, little-endian) */
    uint64_t total_frames;    /* the frames that follow; the source must hold them all */
} elq_raw_format;

/* Creates an encoder with `settings` (NULL: the defaults); an unknown word is refused. */
ELQ_API elq_status elq_encoder_create(elq_encoder** encoder, const elq_encoder_settings* settings);
ELQ_API elq_status elq_encoder_destroy(elq_encoder* encoder);

/* Where the next encode writes. A path gets the finished file only when it is complete (it is
 * written beside it under a temporary name first). Callbacks receive the bytes in order; with a
 * seek callback, a WAVE stream that does not state its length can be encoded (its total is
 * filled in at the end). The choice holds until changed. */
ELQ_API elq_status elq_encoder_set_output_file(elq_encoder* encoder, const char* path);
ELQ_API elq_status elq_encoder_set_output_io(elq_encoder* encoder, const elq_writer_io* io, void* user);

/* Encodes a WAVE file, byte for byte as `elq --encode` does with the same settings. */
ELQ_API elq_status elq_encoder_encode_file(elq_encoder* encoder, const char* wave_path);
/* Encodes a WAVE stream read through callbacks. With a seek callback it is read as a file (its
 * sizes as stated); without one as a stream on standard input is: a data size of 0 or all ones
 * lets the samples run to the end. */
ELQ_API elq_status elq_encoder_encode_io(elq_encoder* encoder, const elq_reader_io* io, void* user);
/* Encodes raw PCM samples of the stated format read through callbacks (no seek is needed). The
 * ELQ file stores the canonical 44-byte WAVE header for them, so it decodes into a WAVE file. */
ELQ_API elq_status elq_encoder_encode_raw(elq_encoder* encoder, const elq_raw_format* format,
                                          const elq_reader_io* io, void* user);

#ifdef __cplusplus
}
#endif

#endif /* ELQ_ELQ_H */
