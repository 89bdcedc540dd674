/* Plays an ELQ file through decodebin into an appsink, after a seek to a frame, and compares the
 * frames that arrive with the samples of the WAVE file the program decoded: the buffer at the seek
 * must start at that frame, and every byte from there on must match.
 * Usage: gst_seek_check FILE.elq DECODED.wav DATA_OFFSET FRAME_BYTES RATE FRAME COUNT
 *   FRAME -1 plays the file from its start without a seek. */
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int fail(const char* what) {
    fprintf(stderr, "gst_seek_check: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    gchar* wave;
    gsize wave_length;
    long offset, frame_bytes, rate, wanted, checked = 0;
    long long frame;
    int result = 0;

    gst_init(&argc, &argv);
    if (argc != 8) return fail("usage: FILE.elq DECODED.wav DATA_OFFSET FRAME_BYTES RATE FRAME COUNT");
    offset = atol(argv[3]);
    frame_bytes = atol(argv[4]);
    rate = atol(argv[5]);
    frame = atoll(argv[6]);
    wanted = atol(argv[7]) * frame_bytes;
    if (!g_file_get_contents(argv[2], &wave, &wave_length, NULL) || (gsize)offset > wave_length)
        return fail("cannot read the WAVE file");

    gchar* description = g_strdup_printf(
        "filesrc location=\"%s\" ! decodebin ! appsink name=sink sync=false caps=audio/x-raw", argv[1]);
    GstElement* pipeline = gst_parse_launch(description, NULL);
    g_free(description);
    if (!pipeline) return fail("cannot build the pipeline");
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PAUSED);
    if (gst_element_get_state(pipeline, NULL, NULL, 10 * GST_SECOND) != GST_STATE_CHANGE_SUCCESS)
        return fail("the pipeline does not preroll");
    if (frame >= 0) {
        if (!gst_element_seek_simple(pipeline, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE,
                                     gst_util_uint64_scale_int((guint64)frame, GST_SECOND, (gint)rate) + 1))
            return fail("the seek is refused");
        gst_element_get_state(pipeline, NULL, NULL, 10 * GST_SECOND);
    } else {
        frame = 0;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);

    /* The rest of the WAVE file after the samples is its trailer: only `wanted` bytes count. */
    const long available = (long)wave_length - offset;
    GstSample* sample;
    while (!result && checked < wanted && (sample = gst_app_sink_pull_sample(GST_APP_SINK(sink)))) {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (checked == 0) {
            guint64 first = gst_util_uint64_scale_int_round(GST_BUFFER_PTS(buffer), (gint)rate, GST_SECOND);
            if ((long long)first != frame) {
                fprintf(stderr, "gst_seek_check: the first buffer is at frame %llu, not %lld\n",
                        (unsigned long long)first, frame);
                result = 1;
            }
        }
        gst_buffer_map(buffer, &map, GST_MAP_READ);
        const long start = (long)frame * frame_bytes + checked;
        long n = (long)map.size < wanted - checked ? (long)map.size : wanted - checked;
        if (start + n > available || memcmp(map.data, wave + offset + start, (size_t)n) != 0) {
            fprintf(stderr, "gst_seek_check: the bytes from frame %ld differ\n", start / frame_bytes);
            result = 1;
        }
        checked += n;
        gst_buffer_unmap(buffer, &map);
        gst_sample_unref(sample);
    }
    if (!result && checked < wanted) {
        fprintf(stderr, "gst_seek_check: %ld of %ld bytes arrived\n", checked, wanted);
        result = 1;
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    g_free(wave);
    if (!result) printf("ok: %ld frames from frame %lld\n", checked / frame_bytes, frame);
    return result;
}
