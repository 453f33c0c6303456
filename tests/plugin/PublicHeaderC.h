/* What PublicHeaderC.c, compiled as C, saw of the exported functions. */
#ifndef PUBLIC_HEADER_C_H
#define PUBLIC_HEADER_C_H

#include "H264DecoderPlugin.h"

#ifdef __cplusplus
extern "C" {
#endif

struct DecoderFunctionsSeenFromC {
    bool (*start)(uint8_t, const H264DecoderChar16*);
    void (*stop)(uint8_t);
    bool (*commitFrame)(uint8_t, const uint8_t*, uint32_t, uint32_t, uint32_t, uint32_t);
    bool (*registerCallback)(uint8_t, H264DecoderTextureInfoCallback);
    bool (*unregisterCallback)(uint8_t);
    bool (*setNativeTexturePointer)(uint8_t, void*, const H264DecoderChar16*);
    bool (*getStatistics)(uint8_t, H264DecoderChar16*, int32_t);
};

struct DecoderFunctionsSeenFromC decoderFunctionsSeenFromC(void);
bool startFromC(uint8_t decoderId);

#ifdef __cplusplus
}
#endif

#endif
