/* The public header compiled as C: every declaration is usable from a C host. It is included
 * first, so this file also shows that it compiles on its own as C. */
#include "H264DecoderPlugin.h"

#include "PublicHeaderC.h"

struct DecoderFunctionsSeenFromC decoderFunctionsSeenFromC(void) {
    struct DecoderFunctionsSeenFromC functions = {
        H264Decoder_start,
        H264Decoder_stop,
        H264Decoder_commitFrame,
        H264Decoder_registerCallback,
        H264Decoder_unregisterCallback,
        H264Decoder_setNativeTexturePointer,
        H264Decoder_getStatistics,
    };
    return functions;
}

bool startFromC(uint8_t decoderId) {
    static const H264DecoderChar16 config[] = {'{', '}', 0};
    return H264Decoder_start(decoderId, config);
}
