/* The public header compiled as C: every declaration is usable from a C host. It is included
 * first, so this file also shows that it compiles on its own as C. */
#include "H264DecoderPlugin.h"

#include <stddef.h>

/* A C host's session with its own types and texts: 0 when every call answered as the header
 * says, else the line of the check that found one that did not. */
int callEveryFunctionFromC(uint8_t decoderId) {
    static const H264DecoderChar16 config[] = {'{', '}', 0};
    static const uint8_t unit[] = {0, 0, 0, 1, 9, 0xF0};
    H264DecoderChar16 statistics[H264_DECODER_STATISTICS_CAPACITY];
    if (!H264Decoder_start(decoderId, config) || H264Decoder_start(decoderId, config) ||
        !H264Decoder_commitFrame(decoderId, unit, 0, 0, sizeof unit, 0) ||
        !H264Decoder_registerCallback(decoderId, NULL) ||
        H264Decoder_unregisterCallback(decoderId) ||
        !H264Decoder_setNativeTexturePointer(decoderId, NULL, config) ||
        !H264Decoder_getStatistics(decoderId, statistics, H264_DECODER_STATISTICS_CAPACITY) ||
        H264Decoder_nativeRenderEventFunc() == NULL) {
        return __LINE__;
    }
    H264Decoder_stop(decoderId);
    return H264Decoder_commitFrame(decoderId, NULL, 0, 0, 0, 0) ? __LINE__ : 0;
}
