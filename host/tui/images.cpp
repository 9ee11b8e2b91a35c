#include "host/tui/images.h"

#include <cstdlib>

namespace tui {

namespace {

constexpr int kMaxSide = 4096;

uint32_t u16(const std::string& b, size_t at) {
    return static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8;
}
uint32_t u32(const std::string& b, size_t at) { return u16(b, at) | u16(b, at + 2) << 16; }

// Decodes the DIB at `offset` (its header first). `bitsAt` is where the pixel
// rows start (0: right after the colour table). `maskRows`: the DIB's height
// field counts the colour rows plus an AND mask of as many rows (icons).
bool decodeDib(const std::string& b, size_t offset, size_t bitsAt, bool iconMask, Image* image) {
    if (offset + 12 > b.size()) return false;
    const uint32_t headerSize = u32(b, offset);
    int64_t width, height;
    uint32_t bpp, compression = 0, usedColours = 0;
    size_t paletteEntry;
    if (headerSize == 12) {
        width = u16(b, offset + 4);
        height = static_cast<int16_t>(u16(b, offset + 6));
        bpp = u16(b, offset + 10);
        paletteEntry = 3;
    } else if (headerSize >= 40 && offset + headerSize <= b.size()) {
        width = static_cast<int32_t>(u32(b, offset + 4));
        height = static_cast<int32_t>(u32(b, offset + 8));
        bpp = u16(b, offset + 14);
        compression = u32(b, offset + 16);
        usedColours = u32(b, offset + 32);
        paletteEntry = 4;
    } else {
        return false;
    }
    if (compression != 0) return false;  // BI_RGB only
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24 && bpp != 32) return false;
    const bool topDown = height < 0;
    if (topDown) height = -height;
    if (iconMask) {
        if (topDown) return false;
        height /= 2;
    }
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;

    size_t paletteSize = 0;
    if (bpp <= 8) {
        paletteSize = usedColours != 0 ? usedColours : (1u << bpp);
        if (paletteSize > (1u << bpp)) return false;
    }
    const size_t paletteAt = offset + headerSize;
    if (paletteAt + paletteSize * paletteEntry > b.size()) return false;
    const size_t rowsAt = bitsAt != 0 ? bitsAt : paletteAt + paletteSize * paletteEntry;
    const size_t stride = ((static_cast<size_t>(width) * bpp + 31) / 32) * 4;
    const size_t maskStride = ((static_cast<size_t>(width) + 31) / 32) * 4;
    const size_t need = stride * height + (iconMask ? maskStride * height : 0);
    if (rowsAt > b.size() || b.size() - rowsAt < need) return false;

    image->width = static_cast<int>(width);
    image->height = static_cast<int>(height);
    image->pixels.assign(static_cast<size_t>(width) * height, 0);
    for (int64_t row = 0; row < height; ++row) {
        const size_t y = static_cast<size_t>(topDown ? row : height - 1 - row);
        const size_t line = rowsAt + static_cast<size_t>(row) * stride;
        for (int64_t x = 0; x < width; ++x) {
            uint32_t rgb;
            if (bpp >= 24) {
                const size_t at = line + static_cast<size_t>(x) * (bpp / 8);
                rgb = static_cast<unsigned char>(b[at]) |
                      static_cast<unsigned char>(b[at + 1]) << 8 |
                      static_cast<unsigned char>(b[at + 2]) << 16;
            } else {
                const size_t bit = static_cast<size_t>(x) * bpp;
                const unsigned byte = static_cast<unsigned char>(b[line + bit / 8]);
                const unsigned index = (byte >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
                if (index >= paletteSize) return false;
                const size_t at = paletteAt + index * paletteEntry;
                rgb = static_cast<unsigned char>(b[at]) |
                      static_cast<unsigned char>(b[at + 1]) << 8 |
                      static_cast<unsigned char>(b[at + 2]) << 16;
            }
            bool opaque = true;
            if (iconMask) {
                const size_t maskLine =
                    rowsAt + stride * height + static_cast<size_t>(row) * maskStride;
                const unsigned byte = static_cast<unsigned char>(b[maskLine + x / 8]);
                opaque = ((byte >> (7 - x % 8)) & 1) == 0;
            }
            image->pixels[y * width + x] = opaque ? (0xFF000000u | rgb) : 0;
        }
    }
    return true;
}

}  // namespace

bool decodeBitmapFile(const std::string& bytes, Image* image) {
    if (bytes.size() < 14 + 12 || bytes[0] != 'B' || bytes[1] != 'M') return false;
    const size_t bitsAt = u32(bytes, 10);
    if (bitsAt < 14 + 12 || bitsAt >= bytes.size()) return false;
    return decodeDib(bytes, 14, bitsAt, false, image);
}

bool decodeIconFile(const std::string& bytes, int want, Image* image) {
    if (bytes.size() < 6 || u16(bytes, 0) != 0 || u16(bytes, 2) != 1) return false;
    const size_t count = u16(bytes, 4);
    if (count == 0 || 6 + count * 16 > bytes.size()) return false;
    size_t best = count;
    int bestSide = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t entry = 6 + i * 16;
        int side = static_cast<unsigned char>(bytes[entry]);
        if (side == 0) side = 256;
        const bool closer = best == count || std::abs(side - want) < std::abs(bestSide - want) ||
                            (std::abs(side - want) == std::abs(bestSide - want) && side > bestSide);
        if (closer) {
            best = i;
            bestSide = side;
        }
    }
    const size_t entry = 6 + best * 16;
    const size_t size = u32(bytes, entry + 8);
    const size_t offset = u32(bytes, entry + 12);
    if (offset >= bytes.size() || size > bytes.size() - offset) return false;
    // Decode from a copy bounded by the entry's size, so a bad header cannot
    // read another entry's bytes.
    return decodeDib(bytes.substr(offset, size), 0, 0, true, image);
}

}  // namespace tui
