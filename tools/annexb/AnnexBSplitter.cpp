#include "AnnexBSplitter.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>

namespace annexb {

namespace {

struct ParserDeleter {
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct ContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};

AVCodecID codecId(StreamCodec codec) {
    return codec == StreamCodec::H265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
}

// A parser with the codec context it fills in while it reads parameter sets.
struct Parser {
    explicit Parser(StreamCodec codec)
        : parser(av_parser_init(codecId(codec))),
          context(avcodec_alloc_context3(avcodec_find_decoder(codecId(codec)))) {
        if (!parser || !context) {
            throw std::runtime_error("cannot create the libavcodec parser");
        }
    }
    std::unique_ptr<AVCodecParserContext, ParserDeleter> parser;
    std::unique_ptr<AVCodecContext, ContextDeleter> context;
};

// Runs the parser over the whole stream and hands out every access unit, draining at the end.
template <typename Sink>
void parseStream(Parser& parser, const uint8_t* stream, size_t size, Sink&& sink) {
    // The parser may read up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the end of its input.
    std::vector<uint8_t> padded(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::copy(stream, stream + size, padded.begin());
    const uint8_t* input = padded.data();
    size_t remaining = size;
    bool drained = false;
    while (!drained) {
        uint8_t* unit = nullptr;
        int unitSize = 0;
        const int chunk = int(std::min<size_t>(remaining, 1 << 20));
        // An empty input asks the parser to hand out what it still holds.
        const int consumed =
            av_parser_parse2(parser.parser.get(), parser.context.get(), &unit, &unitSize, input,
                             chunk, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (consumed < 0) {
            throw std::runtime_error("libavcodec cannot parse the stream");
        }
        drained = remaining == 0;
        input += consumed;
        remaining -= size_t(consumed);
        if (unitSize > 0 && !sink(unit, size_t(unitSize))) {
            return;
        }
    }
}

}  // namespace

std::vector<AccessUnit> splitAccessUnits(const uint8_t* stream, size_t size, StreamCodec codec) {
    Parser parser(codec);
    std::vector<AccessUnit> units;
    parseStream(parser, stream, size, [&](const uint8_t* unit, size_t unitSize) {
        units.emplace_back(unit, unit + unitSize);
        return true;
    });
    return units;
}

bool startsWithStartCode(const uint8_t* stream, size_t size) {
    size_t zeros = 0;
    while (zeros < size && stream[zeros] == 0) {
        ++zeros;
    }
    return zeros >= 2 && zeros < size && stream[zeros] == 1;
}

bool codecFromFileName(const std::string& fileName, StreamCodec& codec) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    std::string extension = fileName.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (extension == "h264" || extension == "264" || extension == "avc") {
        codec = StreamCodec::H264;
        return true;
    }
    if (extension == "h265" || extension == "265" || extension == "hevc") {
        codec = StreamCodec::H265;
        return true;
    }
    return false;
}

double signalledFrameRate(const uint8_t* stream, size_t size, StreamCodec codec) {
    Parser parser(codec);
    // The parser fills in the frame rate from the first parameter sets it meets.
    parseStream(parser, stream, size,
                [&](const uint8_t*, size_t) { return parser.context->framerate.num <= 0; });
    const AVRational rate = parser.context->framerate;
    if (rate.num <= 0 || rate.den <= 0) {
        return 0;
    }
    // The parser reports H.264's tick rate, which counts fields: two ticks per frame.
    return codec == StreamCodec::H264 ? av_q2d(rate) / 2 : av_q2d(rate);
}

}  // namespace annexb
