#pragma once
// The picture of a scene's frame: a test pattern in the scene's colour (a grey
// step wedge along the bottom, a panel in the middle) with lines of text burned
// into the panel in a small built-in bitmap font. Drawn straight into planar
// Y'CbCr (BT.601, video levels) of any chroma subsampling.

#include "tools/thtape/TapeDescription.h"

#include <cstdint>
#include <string>
#include <vector>

namespace thtape {

struct Planes {
    std::uint8_t* y = nullptr;
    std::uint8_t* cb = nullptr;
    std::uint8_t* cr = nullptr;
    int yStride = 0;
    int cStride = 0;
    int width = 0;   // luma
    int height = 0;  // luma
    int chromaShiftX = 0; // log2 of the horizontal subsampling: 1 for 4:2:0, 2 for 4:1:1
    int chromaShiftY = 0; // log2 of the vertical subsampling: 1 for 4:2:0, 0 for 4:1:1
};

struct Ycc {
    std::uint8_t y = 16;
    std::uint8_t cb = 128;
    std::uint8_t cr = 128;
};
Ycc toYcc(const Rgb& rgb);

// The characters the font has: digits, space and : ; - . S C E N T. Others
// are drawn as blanks.
bool fontHasCharacter(char c);

void drawPicture(const Planes& planes, const Rgb& colour, const std::vector<std::string>& lines);

} // namespace thtape
