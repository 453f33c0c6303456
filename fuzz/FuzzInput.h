// How the fuzz targets read one input: a leading option byte, then pieces (access units or
// parameter sets) joined by a separator that the mutator can insert, delete and move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzinput {

// Four bytes that the committed clips never contain, so a seed made of whole access units
// splits back into exactly those units.
constexpr uint8_t kSeparator[] = {0xFF, 0xFF, 0xFF, 0xFE};
constexpr size_t kSeparatorSize = sizeof(kSeparator);

struct Piece {
    const uint8_t* data;
    size_t size;
};

// Every piece between separators, empty ones included; at least one piece.
inline std::vector<Piece> splitPieces(const uint8_t* data, size_t size) {
    std::vector<Piece> pieces;
    const uint8_t* const end = data + size;
    const uint8_t* begin = data;
    while (true) {
        const uint8_t* found =
            std::search(begin, end, std::begin(kSeparator), std::end(kSeparator));
        pieces.push_back({begin, size_t(found - begin)});
        if (found == end) {
            return pieces;
        }
        begin = found + kSeparatorSize;
    }
}

// Each piece in an allocation of its own size, so that the address sanitizer reports a read
// past its end instead of letting it run on into the separator.
inline std::vector<std::vector<uint8_t>> copyPieces(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> copies;
    for (const Piece& piece : splitPieces(data, size)) {
        copies.emplace_back(piece.data, piece.data + piece.size);
    }
    return copies;
}

// The pieces joined by separators, as splitPieces reads them back.
inline std::vector<uint8_t> joinPieces(const std::vector<std::vector<uint8_t>>& pieces) {
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0) {
            joined.insert(joined.end(), std::begin(kSeparator), std::end(kSeparator));
        }
        joined.insert(joined.end(), pieces[i].begin(), pieces[i].end());
    }
    return joined;
}

}  // namespace fuzzinput
