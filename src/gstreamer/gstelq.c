/* The GStreamer plugin "elq": a typefinder for ELQ files and the elqdec element, which decodes
 * them into audio/x-raw in the source's own sample width, with seeking. It sees the library
 * only through its C interface.
 *
 * elqdec reads its input at random (pull mode, as demuxers do behind filesrc and typefind): the
 * library finds the blocks by their heads, and a seek decodes into the block that holds the
 * target frame. */
#include <elq/elq.h>
#include <gst/audio/audio.h>
#include <gst/gst.h>
#include <string.h>

#define ELQ_MAGIC "ELQ "
/* Frames pushed per buffer. */
#define ELQ_BUFFER_FRAMES 4096

GST_DEBUG_CATEGORY_STATIC(elq_debug);
#define GST_CAT_DEFAULT elq_debug

/* ---- typefinder ---- */

static GstStaticCaps elq_caps = GST_STATIC_CAPS("audio/x-elq");

/* "ELQ ", the header length 12 and, 16 bytes on, the "HEAD" tag. */
static void elq_type_find(GstTypeFind* find, gpointer unused) {
    const guint8* data = gst_type_find_peek(find, 0, 24);
    (void)unused;
    if (data && memcmp(data, ELQ_MAGIC, 4) == 0) {
        const gboolean header = GST_READ_UINT32_LE(data + 4) == 12 && memcmp(data + 20, "HEAD", 4) == 0;
        gst_type_find_suggest(find, header ? GST_TYPE_FIND_MAXIMUM : GST_TYPE_FIND_POSSIBLE,
                              gst_static_caps_get(&elq_caps));
    }
}

/* ---- elqdec ---- */

#define GST_TYPE_ELQ_DEC (gst_elq_dec_get_type())
G_DECLARE_FINAL_TYPE(GstElqDec, gst_elq_dec, GST, ELQ_DEC, GstElement)

struct _GstElqDec {
    GstElement parent;
    GstPad* sinkpad;
    GstPad* srcpad;

    /* The input, read through the library's callbacks. */
    guint64 offset;
    gboolean input_failed;
    elq_decoder* decoder;
    elq_info info;
    GstAudioFormat format;

    GstSegment segment;
    gboolean need_segment; /* a segment event goes before the next buffer */
    guint64 frame;         /* the next frame pushed */
    guint32 seqnum;
};

G_DEFINE_TYPE(GstElqDec, gst_elq_dec, GST_TYPE_ELEMENT)

static GstStaticPadTemplate sink_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("audio/x-elq"));
static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("audio/x-raw, format = (string) { U8, S16LE, S24LE, S32LE }, rate = (int) [ 1, MAX ], "
                    "channels = (int) [ 1, 2 ], layout = (string) interleaved"));

static int64_t input_read(void* user, void* buffer, size_t size) {
    GstElqDec* self = user;
    GstBuffer* piece = NULL;
    GstFlowReturn flow = gst_pad_pull_range(self->sinkpad, self->offset, (guint)size, &piece);
    gsize got;
    if (flow == GST_FLOW_EOS) return 0;
    if (flow != GST_FLOW_OK) {
        self->input_failed = TRUE;
        return -1;
    }
    got = gst_buffer_extract(piece, 0, buffer, size);
    gst_buffer_unref(piece);
    self->offset += got;
    return (int64_t)got;
}

static int input_seek(void* user, uint64_t offset) {
    ((GstElqDec*)user)->offset = offset;
    return 0;
}

static int64_t input_size(void* user) {
    GstElqDec* self = user;
    gint64 length = -1;
    if (!gst_pad_peer_query_duration(self->sinkpad, GST_FORMAT_BYTES, &length)) return -1;
    return length;
}

static GstClockTime frame_time(GstElqDec* self, guint64 frame) {
    return gst_util_uint64_scale_int(frame, GST_SECOND, (gint)self->info.sample_rate);
}

static gboolean open_decoder(GstElqDec* self) {
    const elq_reader_io io = {input_read, input_seek, input_size};
    elq_status status;
    GstAudioInfo audio;
    GstCaps* caps;
    gchar* stream_id;
    static const GstAudioFormat formats[] = {GST_AUDIO_FORMAT_U8, GST_AUDIO_FORMAT_S16LE,
                                             GST_AUDIO_FORMAT_S24LE, GST_AUDIO_FORMAT_S32LE};

    self->offset = 0;
    status = elq_decoder_open_io(&self->decoder, &io, self);
    if (status.code == ELQ_OK) status = elq_decoder_info(self->decoder, &self->info);
    if (status.code != ELQ_OK) {
        GST_ELEMENT_ERROR(self, STREAM, DECODE, ("Could not open the ELQ file."), ("%s", status.message));
        return FALSE;
    }
    self->format = formats[self->info.bytes_per_sample - 1];
    gst_audio_info_set_format(&audio, self->format, (gint)self->info.sample_rate, (gint)self->info.channels,
                              NULL);
    caps = gst_audio_info_to_caps(&audio);
    stream_id = gst_pad_create_stream_id(self->srcpad, GST_ELEMENT_CAST(self), NULL);
    gst_pad_push_event(self->srcpad, gst_event_new_stream_start(stream_id));
    g_free(stream_id);
    gst_pad_push_event(self->srcpad, gst_event_new_caps(caps));
    gst_caps_unref(caps);
    gst_segment_init(&self->segment, GST_FORMAT_TIME);
    self->segment.duration = frame_time(self, self->info.total_frames);
    self->need_segment = TRUE;
    self->frame = 0;
    return TRUE;
}

/* Pauses the task at the end, after a failure (one the element has not yet reported is posted as a
 * flow error) or while flushing. */
static void stop_with(GstElqDec* self, GstFlowReturn flow, gboolean reported) {
    GST_DEBUG_OBJECT(self, "pausing: %s", gst_flow_get_name(flow));
    gst_pad_pause_task(self->srcpad);
    if (flow == GST_FLOW_EOS || reported) {
        GstEvent* eos = gst_event_new_eos();
        if (self->seqnum) gst_event_set_seqnum(eos, self->seqnum);
        gst_pad_push_event(self->srcpad, eos);
    } else if (flow == GST_FLOW_NOT_LINKED || flow < GST_FLOW_EOS) {
        GST_ELEMENT_FLOW_ERROR(self, flow);
        gst_pad_push_event(self->srcpad, gst_event_new_eos());
    }
}

static void decode_loop(GstPad* pad) {
    GstElqDec* self = GST_ELQ_DEC(gst_pad_get_parent(pad));
    GstBuffer* buffer;
    GstMapInfo map;
    GstFlowReturn flow;
    elq_status status;
    size_t frames = 0, frame_bytes;
    guint64 last = 0;

    if (!self->decoder && !open_decoder(self)) {
        stop_with(self, GST_FLOW_ERROR, TRUE);
        goto done;
    }
    if (self->need_segment) {
        GstEvent* segment = gst_event_new_segment(&self->segment);
        if (self->seqnum) gst_event_set_seqnum(segment, self->seqnum);
        gst_pad_push_event(self->srcpad, segment);
        self->need_segment = FALSE;
    }
    /* The end of the segment, in frames. */
    if (GST_CLOCK_TIME_IS_VALID(self->segment.stop))
        last = gst_util_uint64_scale_int_ceil(self->segment.stop, (gint)self->info.sample_rate, GST_SECOND);
    if (!GST_CLOCK_TIME_IS_VALID(self->segment.stop) || last > self->info.total_frames)
        last = self->info.total_frames;
    if (self->frame >= last) {
        stop_with(self, GST_FLOW_EOS, FALSE);
        goto done;
    }
    frame_bytes = self->info.channels * self->info.bytes_per_sample;
    frames = MIN(ELQ_BUFFER_FRAMES, last - self->frame);
    buffer = gst_buffer_new_allocate(NULL, frames * frame_bytes, NULL);
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    status = elq_decoder_read_pcm(self->decoder, map.data, frames, &frames);
    gst_buffer_unmap(buffer, &map);
    if (status.code != ELQ_OK || frames == 0) {
        gst_buffer_unref(buffer);
        if (status.code != ELQ_OK)
            GST_ELEMENT_ERROR(self, STREAM, DECODE, ("Could not decode the ELQ file."),
                              ("%s", status.message));
        stop_with(self, status.code != ELQ_OK ? GST_FLOW_ERROR : GST_FLOW_EOS, status.code != ELQ_OK);
        goto done;
    }
    gst_buffer_set_size(buffer, frames * frame_bytes);
    GST_BUFFER_PTS(buffer) = frame_time(self, self->frame);
    GST_BUFFER_DURATION(buffer) = frame_time(self, self->frame + frames) - GST_BUFFER_PTS(buffer);
    GST_BUFFER_OFFSET(buffer) = self->frame;
    GST_BUFFER_OFFSET_END(buffer) = self->frame + frames;
    self->frame += frames;
    self->segment.position = GST_BUFFER_PTS(buffer);
    flow = gst_pad_push(self->srcpad, buffer);
    if (flow != GST_FLOW_OK) stop_with(self, flow, FALSE);
done:
    gst_object_unref(self);
}

static gboolean sink_activate(GstPad* pad, GstObject* parent) {
    GstQuery* query = gst_query_new_scheduling();
    gboolean pull =
        gst_pad_peer_query(pad, query) &&
        gst_query_has_scheduling_mode_with_flags(query, GST_PAD_MODE_PULL, GST_SCHEDULING_FLAG_SEEKABLE);
    gst_query_unref(query);
    if (!pull) {
        GST_ELEMENT_ERROR(parent, STREAM, FAILED,
                          ("elqdec reads its input at random: its source must allow it."),
                          ("upstream cannot work in pull mode"));
        return FALSE;
    }
    return gst_pad_activate_mode(pad, GST_PAD_MODE_PULL, TRUE);
}

static gboolean sink_activate_mode(GstPad* pad, GstObject* parent, GstPadMode mode, gboolean active) {
    GstElqDec* self = GST_ELQ_DEC(parent);
    (void)pad;
    if (mode != GST_PAD_MODE_PULL) return FALSE;
    if (active) return gst_pad_start_task(self->srcpad, (GstTaskFunction)decode_loop, self->srcpad, NULL);
    return gst_pad_stop_task(self->srcpad);
}

/* Frames of a position in `format`: TIME, or DEFAULT (frames). */
static gboolean to_frame(GstElqDec* self, GstFormat format, gint64 value, guint64* frame) {
    if (value < 0) return FALSE;
    if (format == GST_FORMAT_DEFAULT) {
        *frame = (guint64)value;
    } else if (format == GST_FORMAT_TIME) {
        *frame = gst_util_uint64_scale_int((guint64)value, (gint)self->info.sample_rate, GST_SECOND);
    } else {
        return FALSE;
    }
    if (*frame > self->info.total_frames) *frame = self->info.total_frames;
    return TRUE;
}

static gboolean do_seek(GstElqDec* self, GstEvent* event) {
    gdouble rate;
    GstFormat format;
    GstSeekFlags flags;
    GstSeekType start_type, stop_type;
    gint64 start, stop;
    guint64 frame = 0, stop_frame = 0;
    gboolean flush, update;
    GstSegment segment;
    elq_status status;

    gst_event_parse_seek(event, &rate, &format, &flags, &start_type, &start, &stop_type, &stop);
    if (!self->decoder || rate <= 0.0) return FALSE;
    if (format == GST_FORMAT_DEFAULT) {
        /* Frames into time: the segment runs in time. */
        if (start_type != GST_SEEK_TYPE_NONE && to_frame(self, format, start, &frame))
            start = (gint64)frame_time(self, frame);
        if (stop_type != GST_SEEK_TYPE_NONE && to_frame(self, format, stop, &stop_frame))
            stop = (gint64)frame_time(self, stop_frame);
        format = GST_FORMAT_TIME;
    }
    if (format != GST_FORMAT_TIME) return FALSE;
    flush = (flags & GST_SEEK_FLAG_FLUSH) != 0;
    self->seqnum = gst_event_get_seqnum(event);
    if (flush) {
        GstEvent* start_flush = gst_event_new_flush_start();
        gst_event_set_seqnum(start_flush, self->seqnum);
        gst_pad_push_event(self->srcpad, start_flush);
    } else {
        gst_pad_pause_task(self->srcpad);
    }
    /* The task is paused or about to be: the decoder is this thread's until it runs again. */
    GST_PAD_STREAM_LOCK(self->srcpad);
    segment = self->segment;
    gst_segment_do_seek(&segment, rate, format, flags, start_type, (guint64)start, stop_type, (guint64)stop,
                        &update);
    to_frame(self, GST_FORMAT_TIME, (gint64)segment.position, &frame);
    status = elq_decoder_seek(self->decoder, frame);
    if (status.code == ELQ_OK) {
        self->segment = segment;
        self->segment.position = self->segment.start = self->segment.time = frame_time(self, frame);
        self->frame = frame;
    } else {
        GST_WARNING_OBJECT(self, "seek to frame %" G_GUINT64_FORMAT " failed: %s", frame, status.message);
    }
    if (flush) {
        GstEvent* stop_flush = gst_event_new_flush_stop(TRUE);
        gst_event_set_seqnum(stop_flush, self->seqnum);
        gst_pad_push_event(self->srcpad, stop_flush);
    }
    self->need_segment = TRUE;
    gst_pad_start_task(self->srcpad, (GstTaskFunction)decode_loop, self->srcpad, NULL);
    GST_PAD_STREAM_UNLOCK(self->srcpad);
    return status.code == ELQ_OK;
}

static gboolean src_event(GstPad* pad, GstObject* parent, GstEvent* event) {
    GstElqDec* self = GST_ELQ_DEC(parent);
    gboolean done;
    if (GST_EVENT_TYPE(event) != GST_EVENT_SEEK) return gst_pad_event_default(pad, parent, event);
    done = do_seek(self, event);
    gst_event_unref(event);
    return done;
}

static gboolean src_query(GstPad* pad, GstObject* parent, GstQuery* query) {
    GstElqDec* self = GST_ELQ_DEC(parent);
    GstFormat format;
    switch (GST_QUERY_TYPE(query)) {
        case GST_QUERY_DURATION:
            gst_query_parse_duration(query, &format, NULL);
            if (!self->decoder || (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT)) break;
            gst_query_set_duration(
                query, format,
                (gint64)(format == GST_FORMAT_TIME ? frame_time(self, self->info.total_frames)
                                                   : self->info.total_frames));
            return TRUE;
        case GST_QUERY_POSITION:
            gst_query_parse_position(query, &format, NULL);
            if (!self->decoder || (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT)) break;
            gst_query_set_position(
                query, format,
                (gint64)(format == GST_FORMAT_TIME ? frame_time(self, self->frame) : self->frame));
            return TRUE;
        case GST_QUERY_SEEKING:
            gst_query_parse_seeking(query, &format, NULL, NULL, NULL);
            if (format != GST_FORMAT_TIME && format != GST_FORMAT_DEFAULT) break;
            gst_query_set_seeking(
                query, format, self->decoder != NULL, 0,
                self->decoder ? (gint64)(format == GST_FORMAT_TIME ? frame_time(self, self->info.total_frames)
                                                                   : self->info.total_frames)
                              : -1);
            return TRUE;
        default:
            break;
    }
    return gst_pad_query_default(pad, parent, query);
}

static GstStateChangeReturn change_state(GstElement* element, GstStateChange transition) {
    GstElqDec* self = GST_ELQ_DEC(element);
    GstStateChangeReturn result =
        GST_ELEMENT_CLASS(gst_elq_dec_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
        elq_decoder_close(self->decoder);
        self->decoder = NULL;
        self->seqnum = 0;
    }
    return result;
}

static void gst_elq_dec_class_init(GstElqDecClass* klass) {
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    element->change_state = change_state;
    gst_element_class_add_static_pad_template(element, &sink_template);
    gst_element_class_add_static_pad_template(element, &src_template);
    gst_element_class_set_static_metadata(element, "ELQ audio decoder", "Codec/Decoder/Audio",
                                          "Decodes ELQ lossless audio into raw audio, with seeking",
                                          "Velmaro Audio <elq@velmaro.example>");
}

static void gst_elq_dec_init(GstElqDec* self) {
    self->sinkpad = gst_pad_new_from_static_template(&sink_template, "sink");
    gst_pad_set_activate_function(self->sinkpad, sink_activate);
    gst_pad_set_activatemode_function(self->sinkpad, sink_activate_mode);
    gst_element_add_pad(GST_ELEMENT(self), self->sinkpad);
    self->srcpad = gst_pad_new_from_static_template(&src_template, "src");
    gst_pad_set_event_function(self->srcpad, src_event);
    gst_pad_set_query_function(self->srcpad, src_query);
    gst_pad_use_fixed_caps(self->srcpad);
    gst_element_add_pad(GST_ELEMENT(self), self->srcpad);
    gst_segment_init(&self->segment, GST_FORMAT_TIME);
}

static gboolean plugin_init(GstPlugin* plugin) {
    GST_DEBUG_CATEGORY_INIT(elq_debug, "elq", 0, "ELQ lossless audio");
    return gst_type_find_register(plugin, "audio/x-elq", GST_RANK_PRIMARY, elq_type_find, "elq",
                                  gst_static_caps_get(&elq_caps), NULL, NULL) &&
           gst_element_register(plugin, "elqdec", GST_RANK_PRIMARY, GST_TYPE_ELQ_DEC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, elq, "ELQ lossless audio: typefinder and decoder",
                  plugin_init, ELQ_PLUGIN_VERSION, GST_LICENSE_UNKNOWN, "elq", "https://velmaro.example/elq")
