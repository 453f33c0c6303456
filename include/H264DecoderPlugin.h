/*
 * The decoder functions that the host engine's scripts call to play H.264 / H.265 video into a
 * native texture. C linkage; this header compiles as C (C99 and later) and as C++.
 *
 * Call sequence of a host
 * -----------------------
 *   1. H264Decoder_start(id, config)            creates decoder instance `id` (0 to 255)
 *   2. H264Decoder_registerCallback(id, cb)     cb will be told the size of texture to create
 *   3. H264Decoder_commitFrame(id, ...)         one Annex B access unit per call, in stream order,
 *                                               until cb reports the picture size
 *   4. create a BGRA texture of that size, then
 *      H264Decoder_setNativeTexturePointer(id, texture, description of that texture)
 *   5. H264Decoder_commitFrame(id, ...)         every decoded picture now lands in the instance's
 *                                               frame buffer, which the render event uploads
 *   6. H264Decoder_stop(id)
 * The functions may be called in any other order too; each then does what its own description
 * says. An id can be started again as soon as its stop has returned.
 *
 * Threads
 * -------
 * Every function may be called from any host thread, and from several threads at once. None of
 * them, and not the render event either, waits for a decode, an upload, a start or a stop in
 * progress on another thread: they share state only for O(1) work (finding the instance,
 * queueing a copied frame, swapping a frame buffer). In detail:
 *   H264Decoder_start            waits for nothing but its own setup (a thread, a session object).
 *   H264Decoder_stop             waits for its own instance's decode thread to finish the access
 *                                unit in progress (one decode), then for the decode session to
 *                                end. The id is free, and can be started again, from its first
 *                                instant on; other ids and the render event go on meanwhile.
 *   H264Decoder_commitFrame      copies the frame; waits at most for the decode thread's O(1)
 *                                hold of the queue.
 *   the other functions          O(1).
 *   the render event             (host render thread) uploads only pictures no event uploaded
 *                                yet; it skips, never waits for, an instance whose texture state
 *                                is held that instant.
 * The decode thread hands each picture over through three frame buffers per bound texture, so
 * that the copy and the upload never wait for each other: a picture is lost only when a newer
 * one replaces it before any render event could upload it.
 *
 * The callback
 * ------------
 * The callback runs on a thread of the plugin (the instance's decode thread, or the platform's
 * decode output thread) while that thread's work is in progress, so it should return quickly:
 * decoding of its instance waits for it. It may call the functions of this header. A
 * H264Decoder_stop made from inside any callback does not wait: the id is free at once, and the
 * stopped instance's decode thread ends it, session included, once the access unit in progress
 * (and so the callback) has returned.
 *
 * Texts
 * -----
 * Texts are zero-terminated UTF-16 (native byte order). A text that is not well-formed UTF-16
 * (a lone surrogate anywhere) is refused as a whole. JSON that does not parse, or lacks members,
 * is not an error: missing values take their defaults.
 */
#ifndef H264_DECODER_PLUGIN_H
#define H264_DECODER_PLUGIN_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

/* The library hides every other symbol. */
#define H264_DECODER_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
/* One UTF-16 code unit. */
typedef char16_t H264DecoderChar16;
#else
typedef uint16_t H264DecoderChar16;
#endif

/*
 * The host's callback. `decoderId` points at a byte holding the instance's decoder id, valid for
 * the instance's life. `textureInfoJson` is valid only during the call; it is exactly
 *   {"width":W,"height":H,"format":0,"linear":true,"mipMap":false}
 * without whitespace: create a BGRA texture (format 0) of W x H pixels and bind it with
 * H264Decoder_setNativeTexturePointer. It is called once when the decode session learns the
 * picture size, and at most once more when the platform pads picture rows: then W is the padded
 * row width in pixels, and only a texture that wide receives pictures.
 */
typedef void (*H264DecoderTextureInfoCallback)(const uint8_t* decoderId,
                                               const H264DecoderChar16* textureInfoJson);

/*
 * Creates decoder instance `decoderId` and starts its decode thread.
 * `configJson`: {"isH265": true} selects H.265 (only the literal true does; default H.264);
 * "videoDelayTimeInMs" (integer, default 0) is recorded. Keys are case-sensitive; the first
 * occurrence of a key counts; other members are ignored. Writes one line to standard output.
 * Returns true when the instance was created; false when `decoderId` is already running (that
 * instance is untouched), when `configJson` is NULL or not well-formed UTF-16, or when the
 * instance cannot be created (out of memory, no thread): then nothing was created.
 */
H264_DECODER_EXPORT bool H264Decoder_start(uint8_t decoderId, const H264DecoderChar16* configJson);

/*
 * Stops and destroys instance `decoderId`: waits for the access unit being decoded, discards
 * the queued ones, forgets the callback and the texture, and ends the instance's decode thread
 * and decode session with everything they hold. Does nothing for an unknown id. From inside a
 * callback it does not wait (see "The callback").
 */
H264_DECODER_EXPORT void H264Decoder_stop(uint8_t decoderId);

/*
 * The backlog of one instance: at most this many committed access units, and this many bytes of
 * them, wait to be decoded (about one second of 1080p60). A live stream that the machine decodes
 * in time never reaches either limit.
 */
#define H264_DECODER_MAX_QUEUED_UNITS 64
#define H264_DECODER_MAX_QUEUED_BYTES (8 * 1024 * 1024)

/*
 * Queues a copy of the `size` bytes at `data` + `offset`: one complete Annex B access unit.
 * `reserved` is ignored. `pts` is the presentation time in units of 1/100000 s. Never waits for
 * decoding; it waits at most for the decode thread's own brief hold of the queue, and never
 * drops a frame for that.
 * A frame that would take the backlog past either limit above cuts the queue back: the newest
 * queued access unit that decoding can start at (an H.264 IDR picture or recovery point, an HEVC
 * IRAP picture) stays with everything after it; when there is none, the queue is emptied and
 * frames are dropped until the next such unit. Pictures then freeze on the last correct one.
 * The same holds after a frame that does not decode: no picture is shown until decoding starts
 * again at such a unit. Frames with `size` of 2^31 or more, or with NULL `data` and `size`
 * above 0, are dropped. The caller keeps ownership of `data`.
 * Returns true for a running instance, whether or not the frame was queued; false for an
 * unknown id (nothing is read then).
 */
H264_DECODER_EXPORT bool H264Decoder_commitFrame(uint8_t decoderId, const uint8_t* data,
                                                 uint32_t reserved, uint32_t offset, uint32_t size,
                                                 uint32_t pts);

/*
 * Stores `callback` for instance `decoderId` (borrowed; it must stay callable until it is
 * unregistered or the instance is stopped). Returns true when it was stored; false when a
 * callback is already registered (it stays in force) or the id is unknown. Registering NULL
 * returns true and leaves none registered.
 */
H264_DECODER_EXPORT bool H264Decoder_registerCallback(uint8_t decoderId,
                                                      H264DecoderTextureInfoCallback callback);

/*
 * Clears the callback of instance `decoderId`. Returns true when one was registered; false when
 * none was or the id is unknown. A call of the callback already in progress is not waited for.
 */
H264_DECODER_EXPORT bool H264Decoder_unregisterCallback(uint8_t decoderId);

/*
 * Binds the host's native texture (`texturePtr`: an id<MTLTexture> or a GLuint texture name cast
 * to a pointer; borrowed) to instance `decoderId` and allocates its frame buffer, which shows
 * opaque black (BGRA 0, 0, 0, 255) until the first picture lands in it.
 * `textureJson`: {"width":W,"height":H,"mipMap":false,"format":0}; missing values read as 0 and
 * false. Pictures land in the frame buffer only when W equals their (padded) row width in pixels,
 * H their height and format is 0. A NULL `texturePtr` unbinds. A description with "format" above
 * 2, a negative size, or a size whose frame buffer does not fit 2^31 - 1 bytes or cannot be
 * allocated changes nothing.
 * Returns true for a running instance whatever the description holds; false for an unknown id,
 * a NULL `textureJson` or one that is not well-formed UTF-16 (then nothing changed).
 */
H264_DECODER_EXPORT bool H264Decoder_setNativeTexturePointer(uint8_t decoderId, void* texturePtr,
                                                             const H264DecoderChar16* textureJson);

/*
 * A buffer of this many UTF-16 units always holds the text of H264Decoder_getStatistics.
 */
#define H264_DECODER_STATISTICS_CAPACITY 1024

/*
 * Writes the figures of instance `decoderId` into `buffer` as zero-terminated UTF-16 JSON without
 * whitespace, members in this order:
 *   {"codec":"h264","width":1280,"height":720,
 *    "committed":0,"queued":0,"decoded":0,"delivered":0,"uploaded":0,
 *    "dropped":{"queueFull":0,"waitingForKeyframe":0,"decodeError":0,"noTexture":0,
 *               "sizeMismatch":0,"textureBusy":0},
 *    "decodeMs":{"p50":0.0,"p95":0.0,"max":0.0},"latencyMs":{"p50":0.0,"p95":0.0,"max":0.0},
 *    "sessions":1,"lastStatus":0,"keyframeNeeded":false,"keyframeRequests":0}
 * "codec" is "h264" or "h265"; "width" and "height" the picture size of the current decode
 * session (0 before there is one). Counts since the instance started:
 *   committed   access units commit copied (frames dropped for their size or a NULL pointer are
 *               not counted); queued: units waiting to be decoded now;
 *   decoded     pictures the platform decoder returned; delivered: pictures copied into the frame
 *               buffer; uploaded: pictures the render event uploaded;
 *   dropped     units or pictures lost, by reason: queueFull (the backlog limits above),
 *               waitingForKeyframe (discarded while decoding waited for a point it can start
 *               at, after a loss or when a stream is joined between its keyframes), decodeError
 *               (the platform could not decode the unit), noTexture (a picture came while no
 *               texture was bound), sizeMismatch (the bound texture does not match the
 *               picture), textureBusy (a picture replaced by a newer one before any render event
 *               uploaded it);
 *   sessions    decode sessions created (a new picture size, or one the platform ended, makes
 *               another); lastStatus: the last non-zero status of a platform call, 0 if none.
 * Once nothing is queued or being decoded, every committed unit that carries a picture is
 * counted once in decoded, queueFull, waitingForKeyframe or decodeError.
 * "decodeMs" (from handing a unit to the platform to its picture) and "latencyMs" (from commit to
 * the frame buffer) give the median, 95th percentile and maximum of the latest 120 pictures.
 * "keyframeNeeded" is true while decoding waits for a keyframe: pictures freeze until one
 * arrives. "keyframeRequests" grows by one each time such a wait starts; a host that can, asks
 * its sender for a keyframe (for example an RTCP PLI) when it grows.
 * Meant to be polled, for example once per game frame, from any thread: it waits for no decode,
 * upload, start or stop. Returns false, writing nothing, for an unknown id, a NULL `buffer`, or a
 * `capacity` (in UTF-16 units, terminator included) of 0 or less or too small for the text;
 * H264_DECODER_STATISTICS_CAPACITY always suffices.
 */
H264_DECODER_EXPORT bool H264Decoder_getStatistics(uint8_t decoderId, H264DecoderChar16* buffer,
                                                   int32_t capacity);

/* The render-event function: the host calls it on its render thread (with any event id; the id
 * is not used) and it uploads, in ascending decoder id order and through the backend for the
 * host's renderer, the newest picture of every instance with a bound texture that has one no
 * event uploaded yet, or whose texture was bound since the last event (it then shows opaque
 * black until its first picture). An instance whose texture state is held at that instant is
 * uploaded by the next event. */
typedef void (*H264DecoderRenderEventFunc)(int eventId);

/*
 * Returns the render-event function; the same address on every call, also before any instance
 * exists. Any thread; takes no lock.
 */
H264_DECODER_EXPORT H264DecoderRenderEventFunc H264Decoder_nativeRenderEventFunc(void);

#ifdef __cplusplus
}
#endif

#endif /* H264_DECODER_PLUGIN_H */
