#include "blend.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace {

// a * b / 255, rounded, for bytes.
inline uint8_t scale(unsigned a, unsigned b) {
    unsigned t = a * b + 128;
    return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

OverlayImage::Span drawn_span(const uint8_t *row, int width) {
    int first = 0;
    while (first < width && row[first * 4 + 3] == 0) {
        first++;
    }
    int end = width;
    while (end > first && row[(end - 1) * 4 + 3] == 0) {
        end--;
    }
    return {first, end};
}

}  // namespace

OverlayImage::OverlayImage(int w, int h, std::vector<uint8_t> rgba)
    : width(w), height(h), pixels(std::move(rgba)) {
    spans.reserve(static_cast<size_t>(height));
    for (int y = 0; y < height; y++) {
        spans.push_back(drawn_span(&pixels[static_cast<size_t>(y) * width * 4], width));
    }
}

void blend_overlay(const OverlayImage &overlay, uint8_t *frame, int stride, int width, int height,
                   PixelLayout layout) {
    int rows = std::min(height, overlay.height);
    for (int y = 0; y < rows; y++) {
        const OverlayImage::Span &span = overlay.spans[static_cast<size_t>(y)];
        int end = std::min(span.end, width);
        const uint8_t *src = &overlay.pixels[static_cast<size_t>(y) * overlay.width * 4];
        uint8_t *dst = frame + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = span.first; x < end; x++) {
            const uint8_t *s = src + x * 4;
            unsigned alpha = s[3];
            if (alpha == 0) {
                continue;
            }
            uint8_t *d = dst + x * 4;
            unsigned keep = 255 - alpha;
            d[layout.red] = static_cast<uint8_t>(s[0] + scale(d[layout.red], keep));
            d[layout.green] = static_cast<uint8_t>(s[1] + scale(d[layout.green], keep));
            d[layout.blue] = static_cast<uint8_t>(s[2] + scale(d[layout.blue], keep));
            if (layout.alpha >= 0) {
                d[layout.alpha] = static_cast<uint8_t>(alpha + scale(d[layout.alpha], keep));
            }
        }
    }
}
