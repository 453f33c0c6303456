#include "VideoDecoder.h"

#include "NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace compat {

namespace {

// Bands of a picture converted in parallel are at least this many rows high.
constexpr int kMinimumBandRows = 128;

// Pictures of this height and more are HD: unsignalled colour means BT.709 there, BT.601 below.
constexpr int kHdMinimumHeight = 720;

void appendBigEndian16(ByteVector& out, size_t value) {
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

// The description's sets of one NAL unit type, in their order.
std::vector<const ByteVector*> setsOfType(const opaqueCMFormatDescription& description, int type,
                                          bool h265) {
    std::vector<const ByteVector*> sets;
    for (const ByteVector& set : description.parameterSets) {
        const int setType = h265 ? nalunits::hevcType(set[0]) : nalunits::h264Type(set[0]);
        if (setType == type) {
            sets.push_back(&set);
        }
    }
    return sets;
}

// avcC with every SPS and PPS: the decoder then reads samples as NAL units behind lengths of the
// header length.
ByteVector avcConfiguration(const opaqueCMFormatDescription& description) {
    const std::vector<const ByteVector*> spss = setsOfType(description, 7, false);
    const std::vector<const ByteVector*> ppss = setsOfType(description, 8, false);
    const ByteVector& sps = *spss.front();
    ByteVector config = {1,
                         sps[1],
                         sps.size() > 2 ? sps[2] : uint8_t(0),
                         sps.size() > 3 ? sps[3] : uint8_t(0),
                         uint8_t(0xfc | (description.nalUnitHeaderLength - 1)),
                         uint8_t(0xe0 | spss.size())};
    for (const ByteVector* set : spss) {
        appendBigEndian16(config, set->size());
        config.insert(config.end(), set->begin(), set->end());
    }
    config.push_back(uint8_t(ppss.size()));
    for (const ByteVector* set : ppss) {
        appendBigEndian16(config, set->size());
        config.insert(config.end(), set->begin(), set->end());
    }
    return config;
}

// hvcC with one array each of VPS, SPS and PPS, every set of the description in its array.
ByteVector hevcConfiguration(const opaqueCMFormatDescription& description) {
    ByteVector config(23, 0);
    config[0] = 1;
    config[13] = 0xf0;
    config[15] = 0xfc;
    config[16] = 0xfd;
    config[17] = 0xf8;
    config[18] = 0xf8;
    config[21] = uint8_t(0x0c | (description.nalUnitHeaderLength - 1));
    config[22] = 3;
    for (int type : {32, 33, 34}) {
        const std::vector<const ByteVector*> sets = setsOfType(description, type, true);
        config.push_back(uint8_t(0x80 | type));
        appendBigEndian16(config, sets.size());
        for (const ByteVector* set : sets) {
            appendBigEndian16(config, set->size());
            config.insert(config.end(), set->begin(), set->end());
        }
    }
    return config;
}

// Hands the decoder its parameter sets as extradata.
bool attachConfiguration(AVCodecContext& context, const ByteVector& config) {
    context.extradata =
        static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!context.extradata) {
        return false;
    }
    std::memcpy(context.extradata, config.data(), config.size());
    context.extradata_size = int(config.size());
    return true;
}

// Tags of damaged samples are forgotten once this many later samples went in: a picture comes
// out long before that (a decoded picture buffer holds at most 16).
constexpr int64_t kDamagedTagWindow = 64;

// Whether libavcodec reported an error on this thread since it was last cleared. The decoder
// decodes on its caller's thread (one thread, no frame threading).
thread_local bool t_errorReported = false;

// The layer reports failures by status codes; libavcodec's own messages about broken input
// would only repeat them on standard error. Its errors still mark the sample being decoded.
void noteLibraryLog(void*, int level, const char*, va_list) {
    if (level <= AV_LOG_ERROR) {
        t_errorReported = true;
    }
}

void silenceLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(noteLibraryLog); });
}

int swsMatrix(const AVFrame& frame) {
    switch (frame.colorspace) {
        case AVCOL_SPC_BT709:
            return SWS_CS_ITU709;
        case AVCOL_SPC_FCC:
            return SWS_CS_FCC;
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
            return SWS_CS_ITU601;
        case AVCOL_SPC_SMPTE240M:
            return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return SWS_CS_BT2020;
        default:
            return frame.height >= kHdMinimumHeight ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

bool fullRange(const AVFrame& frame) {
    return frame.color_range == AVCOL_RANGE_JPEG;
}

}  // namespace

std::unique_ptr<VideoDecoder> VideoDecoder::open(const opaqueCMFormatDescription& description) {
    silenceLibraryLog();
    const bool h264 = description.codec == VideoCodec::H264;
    const AVCodec* codec = avcodec_find_decoder(h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    std::unique_ptr<VideoDecoder> decoder(new VideoDecoder());
    decoder->context_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    decoder->packet_ = av_packet_alloc();
    decoder->frame_ = av_frame_alloc();
    if (!decoder->context_ || !decoder->packet_ || !decoder->frame_) {
        return nullptr;
    }
    decoder->parameterSets_ = description.parameterSets;
    decoder->nalUnitHeaderLength_ = description.nalUnitHeaderLength;
    AVCodecContext* context = decoder->context_;
    if (!attachConfiguration(
            *context, h264 ? avcConfiguration(description) : hevcConfiguration(description))) {
        return nullptr;
    }
    // One thread per session, no frame threading: pictures come out with their samples.
    context->thread_count = 1;
    context->thread_type = 0;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->err_recognition = AV_EF_EXPLODE;
    if (avcodec_open2(context, codec, nullptr) < 0) {
        return nullptr;
    }
    // Broken parameter sets are refused above; later damage is concealed, not fatal.
    context->err_recognition = 0;
    return decoder;
}

VideoDecoder::~VideoDecoder() {
    for (Band& band : bands_) {
        sws_freeContext(band.scaler);
    }
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&context_);
}

bool VideoDecoder::reorders() const {
    return context_->has_b_frames > 0;
}

bool VideoDecoder::decode(const opaqueCMFormatDescription& format, const uint8_t* data, size_t size,
                          int64_t tag, const PictureSink& sink) {
    // New parameter sets travel in band, ahead of the sample, as the stream would carry them.
    ByteVector sets;
    if (format.parameterSets != parameterSets_) {
        for (const ByteVector& set : format.parameterSets) {
            for (int byte = nalUnitHeaderLength_ - 1; byte >= 0; --byte) {
                sets.push_back(uint8_t(set.size() >> (8 * byte)));
            }
            sets.insert(sets.end(), set.begin(), set.end());
        }
    }
    const size_t total = sets.size() + size;
    if (size == 0 || total > size_t(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE ||
        av_new_packet(packet_, int(total)) < 0) {
        return false;
    }
    if (!sets.empty()) {
        std::memcpy(packet_->data, sets.data(), sets.size());
        parameterSets_ = format.parameterSets;
    }
    std::memcpy(packet_->data + sets.size(), data, size);
    packet_->pts = tag;
    packet_->dts = AV_NOPTS_VALUE;
    t_errorReported = false;
    const int sent = avcodec_send_packet(context_, packet_);
    av_packet_unref(packet_);
    if (t_errorReported) {
        damagedTags_.insert(tag);
    }
    while (!damagedTags_.empty() && *damagedTags_.begin() < tag - kDamagedTagWindow) {
        damagedTags_.erase(damagedTags_.begin());
    }
    receivePictures(sink);
    return sent >= 0;
}

void VideoDecoder::drain(const PictureSink& sink) {
    avcodec_send_packet(context_, nullptr);
    receivePictures(sink);
    avcodec_flush_buffers(context_);
}

void VideoDecoder::receivePictures(const PictureSink& sink) {
    while (avcodec_receive_frame(context_, frame_) == 0) {
        const int64_t tag = frame_->pts;
        if (isDamaged(*frame_)) {
            av_frame_unref(frame_);
            sink(tag, nullptr, Outcome::Damaged);
            continue;
        }
        CVPixelBufferRef picture = convert(*frame_);
        av_frame_unref(frame_);
        sink(tag, picture, picture ? Outcome::Decoded : Outcome::ConversionFailed);
        compat::releaseObject(picture);
    }
}

bool VideoDecoder::isDamaged(const AVFrame& frame) {
    const bool reported = damagedTags_.erase(frame.pts) > 0;
    return reported || frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0;
}

// Only 8-bit 4:2:0 converts row pairs independently, so that bands give exactly the bytes of a
// whole-picture conversion; other formats filter chroma across band edges.
int VideoDecoder::bandCount(const AVFrame& frame) const {
    const bool independentRows =
        frame.format == AV_PIX_FMT_YUV420P || frame.format == AV_PIX_FMT_YUVJ420P;
    if (!independentRows) {
        return 1;
    }
    const int helpers = conversionPool_->helpers();
    return std::clamp(frame.height / kMinimumBandRows, 1, helpers + 1);
}

bool VideoDecoder::convertBand(Band& band, const AVFrame& frame, int firstRow, int rows,
                               uint8_t* base, int bytesPerRow) {
    band.scaler = sws_getCachedContext(band.scaler, frame.width, rows,
                                       static_cast<AVPixelFormat>(frame.format), frame.width, rows,
                                       AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (band.scaler == nullptr) {
        return false;
    }
    const int matrix = swsMatrix(frame);
    const int range = fullRange(frame) ? 1 : 0;
    if (band.scaler != band.configuredScaler || matrix != band.configuredMatrix ||
        range != band.configuredRange) {
        const int* coefficients = sws_getCoefficients(matrix);
        const int fullRangeOut = 1;
        sws_setColorspaceDetails(band.scaler, coefficients, range, coefficients, fullRangeOut, 0,
                                 1 << 16, 1 << 16);
        band.configuredScaler = band.scaler;
        band.configuredMatrix = matrix;
        band.configuredRange = range;
    }
    // Bands start on even rows: the chroma planes start half as far down.
    const uint8_t* source[4] = {frame.data[0], frame.data[1], frame.data[2], frame.data[3]};
    for (int plane = 0; plane < 3 && firstRow > 0; ++plane) {
        source[plane] += ptrdiff_t(plane == 0 ? firstRow : firstRow / 2) * frame.linesize[plane];
    }
    uint8_t* destination[4] = {base + ptrdiff_t(firstRow) * bytesPerRow, nullptr, nullptr, nullptr};
    const int destinationStride[4] = {bytesPerRow, 0, 0, 0};
    return sws_scale(band.scaler, source, frame.linesize, 0, rows, destination,
                     destinationStride) == rows;
}

CVPixelBufferRef VideoDecoder::convert(const AVFrame& frame) {
    if (frame.width <= 0 || frame.height <= 0) {
        return nullptr;
    }
    CVPixelBufferRef picture = pool_->makeBuffer(size_t(frame.width), size_t(frame.height));
    if (picture == nullptr) {
        return nullptr;
    }
    const auto* buffer = static_cast<const __CVBuffer*>(objectOf(picture));
    const int count = bandCount(frame);
    bands_.resize(std::max(bands_.size(), size_t(count)));
    const int bandRows = (frame.height / count + 1) & ~1;
    std::atomic<bool> converted{true};
    auto convertOne = [&](int index) {
        const int firstRow = index * bandRows;
        const int rows = std::min(bandRows, frame.height - firstRow);
        if (rows > 0 && !convertBand(bands_[size_t(index)], frame, firstRow, rows, buffer->base,
                                     int(buffer->bytesPerRow))) {
            converted = false;
        }
    };
    if (count == 1) {
        convertOne(0);
    } else {
        conversionPool_->run(count, convertOne);
    }
    if (!converted) {
        releaseObject(picture);
        return nullptr;
    }
    return picture;
}

}  // namespace compat
