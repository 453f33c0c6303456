// The statistics text that H264Decoder_getStatistics hands to the host.
#pragma once

#include "DecodeStatistics.h"

#include <string>

// One line of JSON without whitespace, members in a fixed order; times in milliseconds with at
// most three decimals.
std::string statisticsJson(const DecodeStatistics::Snapshot& figures);
