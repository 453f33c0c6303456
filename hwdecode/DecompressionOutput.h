// The output callback of every decompression session that H264HwDecoderImpl creates.
#pragma once

#include <CoreMedia/CoreMedia.h>
#include <CoreVideo/CoreVideo.h>
#include <VideoToolbox/VideoToolbox.h>

// Hands one decoded picture, its pixel buffer locked, to the delegate of the H264HwDecoderImpl
// given as `decompressionOutputRefCon`. Failed decodes and dropped frames deliver nothing.
void didDecompress(void* decompressionOutputRefCon, void* sourceFrameRefCon, OSStatus status,
                   VTDecodeInfoFlags infoFlags, CVImageBufferRef imageBuffer,
                   CMTime presentationTimeStamp, CMTime presentationDuration);
