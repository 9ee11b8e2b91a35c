// Decoding the program's pictures: BMP files (BITMAP resources) and ICO
// files (ICON resources), uncompressed device-independent bitmaps only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tui {

struct Image {
    int width = 0;
    int height = 0;
    // Top row first; 0xAARRGGBB, alpha 0 (transparent) or 255.
    std::vector<uint32_t> pixels;

    uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A .bmp file: BITMAPFILEHEADER, then a DIB with a core, info or v4/v5
// header, 1, 4, 8, 24 or 32 bits per pixel, no compression. False on
// anything else or on a size that does not fit the bytes.
bool decodeBitmapFile(const std::string& bytes, Image* image);

// A .ico file: picks the entry whose size is closest to `want` pixels (the
// largest one on a tie) and applies its transparency mask. PNG entries are
// not supported.
bool decodeIconFile(const std::string& bytes, int want, Image* image);

}  // namespace tui
