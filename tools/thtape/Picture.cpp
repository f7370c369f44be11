#include "tools/thtape/Picture.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace thtape {

namespace {

// 5 x 7 glyphs, one row a byte, bit 4 the leftmost column.
struct Glyph {
    char c;
    std::uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {';', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'N', {0x11, 0x19, 0x15, 0x13, 0x11, 0x11, 0x11}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
};

const Glyph* findGlyph(char c)
{
    for (const auto& g : kFont)
        if (g.c == c)
            return &g;
    return nullptr;
}

constexpr int kScale = 4;                // font pixels to picture pixels
constexpr int kAdvance = 6 * kScale;     // glyph and one column of space
constexpr int kLineHeight = 10 * kScale; // glyph and three rows of space
constexpr Ycc kWhite{235, 128, 128};
constexpr Ycc kBlack{16, 128, 128};

std::uint8_t clampByte(double v)
{
    return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// Fills a rectangle of luma pixels and the chroma samples that lie within it;
// callers keep rectangles on chroma sample boundaries.
void fill(const Planes& p, int x0, int y0, int w, int h, const Ycc& c)
{
    x0 = std::clamp(x0, 0, p.width);
    y0 = std::clamp(y0, 0, p.height);
    const int x1 = std::clamp(x0 + w, 0, p.width);
    const int y1 = std::clamp(y0 + h, 0, p.height);
    if (x1 <= x0 || y1 <= y0)
        return;
    for (int y = y0; y < y1; ++y)
        std::memset(p.y + static_cast<std::ptrdiff_t>(y) * p.yStride + x0, c.y, static_cast<std::size_t>(x1 - x0));
    const int cx0 = x0 >> p.chromaShiftX;
    const int cx1 = x1 >> p.chromaShiftX;
    const int cy0 = y0 >> p.chromaShiftY;
    const int cy1 = y1 >> p.chromaShiftY;
    for (int y = cy0; y < cy1; ++y) {
        std::memset(p.cb + static_cast<std::ptrdiff_t>(y) * p.cStride + cx0, c.cb, static_cast<std::size_t>(cx1 - cx0));
        std::memset(p.cr + static_cast<std::ptrdiff_t>(y) * p.cStride + cx0, c.cr, static_cast<std::size_t>(cx1 - cx0));
    }
}

// Text is drawn in luma only, on a neutral panel, so it needs no chroma.
void drawText(const Planes& p, int x, int y, const std::string& text)
{
    for (char ch : text) {
        if (const Glyph* g = findGlyph(ch)) {
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (g->rows[row] & (0x10 >> col))
                        for (int dy = 0; dy < kScale; ++dy) {
                            const int py = y + row * kScale + dy;
                            const int px = x + col * kScale;
                            if (py < 0 || py >= p.height || px < 0 || px + kScale > p.width)
                                continue;
                            std::memset(p.y + static_cast<std::ptrdiff_t>(py) * p.yStride + px, kBlack.y, kScale);
                        }
        }
        x += kAdvance;
    }
}

} // namespace

Ycc toYcc(const Rgb& rgb)
{
    const double r = rgb.r / 255.0;
    const double g = rgb.g / 255.0;
    const double b = rgb.b / 255.0;
    return {clampByte(16.0 + 65.481 * r + 128.553 * g + 24.966 * b),
            clampByte(128.0 - 37.797 * r - 74.203 * g + 112.0 * b),
            clampByte(128.0 + 112.0 * r - 93.786 * g - 18.214 * b)};
}

bool fontHasCharacter(char c)
{
    return c == ' ' || findGlyph(c) != nullptr;
}

void drawPicture(const Planes& p, const Rgb& colour, const std::vector<std::string>& lines)
{
    fill(p, 0, 0, p.width, p.height, toYcc(colour));

    // Step wedge of eight greys from black to white along the bottom.
    const int wedgeHeight = p.height / 8 & ~7;
    const int stepWidth = p.width / 8 & ~7;
    for (int i = 0; i < 8; ++i) {
        const auto level = static_cast<std::uint8_t>(16 + (235 - 16) * i / 7);
        fill(p, i * stepWidth, p.height - wedgeHeight, i == 7 ? p.width - 7 * stepWidth : stepWidth, wedgeHeight,
             {level, 128, 128});
    }

    std::size_t longest = 0;
    for (const auto& l : lines)
        longest = std::max(longest, l.size());
    const int margin = 4 * kScale;
    const int panelWidth = (static_cast<int>(longest) * kAdvance - kScale + 2 * margin + 7) & ~7;
    const int panelHeight = (static_cast<int>(lines.size()) * kLineHeight - 3 * kScale + 2 * margin + 7) & ~7;
    const int panelX = (p.width - panelWidth) / 2 & ~7;
    const int panelY = (p.height - wedgeHeight - panelHeight) / 2 & ~7;
    fill(p, panelX, panelY, panelWidth, panelHeight, kWhite);
    for (std::size_t i = 0; i < lines.size(); ++i)
        drawText(p, panelX + margin, panelY + margin + static_cast<int>(i) * kLineHeight, lines[i]);
}

} // namespace thtape
