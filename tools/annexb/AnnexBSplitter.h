// Splits an Annex B elementary stream into access units with libavcodec's parser, the way a host
// that receives a live stream hands them to the plugin: one access unit per committed frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace annexb {

enum class StreamCodec { H264, H265 };

using AccessUnit = std::vector<uint8_t>;

// Every access unit of the stream in order, start codes included. The parser is drained at the
// end of input, so the last access unit is not lost. Throws std::runtime_error when libavcodec
// cannot parse.
std::vector<AccessUnit> splitAccessUnits(const uint8_t* stream, size_t size, StreamCodec codec);

// True when the stream begins with a start code (leading zero bytes allowed), as every Annex B
// stream does.
bool startsWithStartCode(const uint8_t* stream, size_t size);

// The codec a file name implies: .h264/.264/.avc give H.264, .h265/.265/.hevc give H.265.
// False when the extension names neither.
bool codecFromFileName(const std::string& fileName, StreamCodec& codec);

// Frames per second that the stream's parameter sets signal, or 0 when they signal none.
double signalledFrameRate(const uint8_t* stream, size_t size, StreamCodec codec);

}  // namespace annexb
