/* The public header compiled as C: every declaration is usable from a C host. It is included
 * first, so this file also shows that it compiles on its own as C. */
#include "H264DecoderPlugin.h"

#include <stddef.h>

/* Calls every function as a C host does; answers the number of the first call that answered
 * otherwise than the header says, 0 when all did. */
int callEveryFunctionFromC(uint8_t decoderId) {
    static const H264DecoderChar16 config[] = {'{', '}', 0};
    static const uint8_t unit[] = {0, 0, 0, 1, 9, 0xF0};
    H264DecoderChar16 statistics[H264_DECODER_STATISTICS_CAPACITY];
    bool answers[9];
    int calls = 0;
    answers[calls++] = H264Decoder_start(decoderId, config);
    answers[calls++] = !H264Decoder_start(decoderId, config);
    answers[calls++] = H264Decoder_commitFrame(decoderId, unit, 0, 0, sizeof unit, 0);
    answers[calls++] = H264Decoder_registerCallback(decoderId, NULL);
    answers[calls++] = !H264Decoder_unregisterCallback(decoderId);
    answers[calls++] = H264Decoder_setNativeTexturePointer(decoderId, NULL, config);
    answers[calls++] =
        H264Decoder_getStatistics(decoderId, statistics, H264_DECODER_STATISTICS_CAPACITY);
    H264Decoder_stop(decoderId);
    answers[calls++] = !H264Decoder_commitFrame(decoderId, NULL, 0, 0, 0, 0);
    answers[calls++] = H264Decoder_nativeRenderEventFunc() != NULL;
    for (int call = 0; call < calls; ++call) {
        if (!answers[call]) {
            return call + 1;
        }
    }
    return 0;
}
