#include "AnnexB.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <memory>
#include <stdexcept>

namespace testsupport {

namespace {

struct ParserDeleter {
    void operator()(AVCodecParserContext* parser) const { av_parser_close(parser); }
};
struct ContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};

AVCodecID codecId(Codec codec) {
    return codec == Codec::H265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
}

}  // namespace

std::vector<AccessUnit> splitAccessUnits(const std::vector<uint8_t>& stream, Codec codec) {
    std::unique_ptr<AVCodecParserContext, ParserDeleter> parser(av_parser_init(codecId(codec)));
    std::unique_ptr<AVCodecContext, ContextDeleter> context(
        avcodec_alloc_context3(avcodec_find_decoder(codecId(codec))));
    if (!parser || !context) {
        throw std::runtime_error("cannot create the libavcodec parser");
    }
    // The parser may read up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the end of its input.
    std::vector<uint8_t> padded(stream);
    padded.resize(stream.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);

    std::vector<AccessUnit> units;
    const uint8_t* input = padded.data();
    int remaining = static_cast<int>(stream.size());
    bool drained = false;
    while (!drained) {
        uint8_t* unit = nullptr;
        int unitSize = 0;
        // An empty input asks the parser to hand out what it still holds.
        const int consumed = av_parser_parse2(parser.get(), context.get(), &unit, &unitSize, input,
                                              remaining, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        if (consumed < 0) {
            throw std::runtime_error("the libavcodec parser failed");
        }
        drained = remaining == 0;
        input += consumed;
        remaining -= consumed;
        if (unitSize > 0) {
            units.emplace_back(unit, unit + unitSize);
        }
    }
    return units;
}

std::vector<AccessUnit> readAccessUnits(const FixtureClip& clip) {
    return splitAccessUnits(readFileBytes(clip.path()), clip.codec);
}

}  // namespace testsupport

namespace testsupport {

std::vector<int> nalUnitTypes(const AccessUnit& unit, Codec codec) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
            const uint8_t header = unit[i + 3];
            types.push_back(codec == Codec::H265 ? (header >> 1) & 0x3f : header & 0x1f);
            i += 2;
        }
    }
    return types;
}

}  // namespace testsupport
