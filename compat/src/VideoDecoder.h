// One libavcodec decoder and its conversion to BGRA pixel buffers: the working part of a
// decompression session, used by the session's worker thread only.
#pragma once

#include "ConversionPool.h"
#include "MediaObjects.h"
#include "PixelBufferPool.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace compat {

class VideoDecoder {
  public:
    // What became of a picture the decoder released.
    enum class Outcome {
        Decoded,
        // Decoded with a missing reference or with concealment: not a correct picture.
        Damaged,
        ConversionFailed,
    };
    // Receives each picture with the tag of the sample it was decoded from; picture is null
    // unless it was decoded and converted. The sink does not own the picture (retain it to keep
    // it).
    using PictureSink = std::function<void(int64_t tag, CVPixelBufferRef picture, Outcome outcome)>;

    // A decoder set up from the description's parameter sets, or null when libavcodec refuses
    // them.
    static std::unique_ptr<VideoDecoder> open(const opaqueCMFormatDescription& description);
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Decodes one sample (NAL units behind lengths of the description's header length) and hands
    // out the pictures the decoder releases. A sample of another description than the one the
    // decoder has gives the decoder that description's parameter sets first. False when
    // libavcodec rejects the sample.
    bool decode(const opaqueCMFormatDescription& format, const uint8_t* data, size_t size,
                int64_t tag, const PictureSink& sink);

    // Hands out every picture still held for reordering and makes the decoder ready for a new
    // random access point.
    void drain(const PictureSink& sink);

    // Whether pictures may come out later than their samples (the stream reorders frames).
    bool reorders() const;

  private:
    VideoDecoder() = default;
    // One horizontal band of the picture and the SwsContext that converts it.
    struct Band {
        SwsContext* scaler = nullptr;
        const SwsContext* configuredScaler = nullptr;
        int configuredMatrix = -1;
        int configuredRange = -1;
    };

    void receivePictures(const PictureSink& sink);
    bool isDamaged(const AVFrame& frame);
    CVPixelBufferRef convert(const AVFrame& frame);
    int bandCount(const AVFrame& frame) const;
    bool convertBand(Band& band, const AVFrame& frame, int firstRow, int rows, uint8_t* base,
                     int bytesPerRow);

    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<Band> bands_;
    // The parameter sets the decoder has, and the length field size of its samples.
    std::vector<ByteVector> parameterSets_;
    int nalUnitHeaderLength_ = 4;
    // Samples during whose decoding libavcodec reported an error: their pictures are damaged
    // even where the frame carries no error flag (a missing HEVC reference is only logged).
    std::set<int64_t> damagedTags_;
    std::shared_ptr<PixelBufferPool> pool_ = PixelBufferPool::create();
    const std::shared_ptr<ConversionPool> conversionPool_ = ConversionPool::acquire();
};

}  // namespace compat
