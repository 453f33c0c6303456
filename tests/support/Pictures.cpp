#include "Pictures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
}

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

struct FormatCloser {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct ContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

using FrameSink = std::function<void(const AVFrame&)>;

// Demuxes the file and hands every decoded frame, in display order, to the sink.
void decodeFile(const std::string& path, const FrameSink& sink) {
    AVFormatContext* opened = nullptr;
    if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) {
        throw std::runtime_error("libavformat cannot open " + path);
    }
    std::unique_ptr<AVFormatContext, FormatCloser> demuxer(opened);
    if (avformat_find_stream_info(demuxer.get(), nullptr) < 0 || demuxer->nb_streams < 1) {
        throw std::runtime_error("no stream in " + path);
    }
    const AVCodecParameters* parameters = demuxer->streams[0]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    std::unique_ptr<AVCodecContext, ContextDeleter> decoder(avcodec_alloc_context3(codec));
    if (!codec || !decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0 ||
        avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        throw std::runtime_error("libavcodec cannot decode " + path);
    }
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameDeleter> frame(av_frame_alloc());
    auto receiveAll = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            sink(*frame);
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(demuxer.get(), packet.get()) >= 0) {
        if (packet->stream_index == 0 && avcodec_send_packet(decoder.get(), packet.get()) < 0) {
            throw std::runtime_error("libavcodec rejects a packet of " + path);
        }
        av_packet_unref(packet.get());
        receiveAll();
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receiveAll();
}

}  // namespace

std::vector<BgraPicture> readReferencePictures(const FixtureClip& clip) {
    std::vector<BgraPicture> pictures;
    decodeFile(clip.referencePath(), [&](const AVFrame& frame) {
        if (frame.format != AV_PIX_FMT_BGRA) {
            throw std::runtime_error("reference of " + clip.name + " is not BGRA");
        }
        pictures.push_back(packRows(frame.data[0], frame.width, frame.height, frame.linesize[0]));
    });
    return pictures;
}

std::vector<std::string> readFrameMd5s(const FixtureClip& clip) {
    std::ifstream in(clip.frameMd5Path());
    if (!in) {
        throw std::runtime_error("cannot read " + clip.frameMd5Path());
    }
    std::vector<std::string> md5s;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t lastComma = line.rfind(',');
        std::string md5 = line.substr(lastComma + 1);
        md5.erase(0, md5.find_first_not_of(' '));
        md5s.push_back(md5);
    }
    return md5s;
}

std::string md5Hex(const BgraPicture& picture) {
    uint8_t digest[16];
    av_md5_sum(digest, picture.pixels.data(), picture.pixels.size());
    std::ostringstream hex;
    for (uint8_t byte : digest) {
        static const char kDigits[] = "0123456789abcdef";
        hex << kDigits[byte >> 4] << kDigits[byte & 15];
    }
    return hex.str();
}

BgraPicture packRows(const uint8_t* base, int width, int height, int bytesPerRow) {
    BgraPicture picture{width, height, std::vector<uint8_t>(size_t(width) * height * 4)};
    for (int row = 0; row < height; ++row) {
        std::memcpy(picture.pixels.data() + size_t(row) * width * 4,
                    base + size_t(row) * bytesPerRow, size_t(width) * 4);
    }
    return picture;
}

}  // namespace testsupport
