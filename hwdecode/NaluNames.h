// Human-readable names of H.264 and H.265 NAL unit types and of H.264 SEI payload types, for
// diagnostics. Each row reads "index: description".
#pragma once

extern const char* const naluTypesStrings264[32];
extern const char* const naluTypesStrings265[64];
extern const char* const sei_payloadType_description_h264[47];
