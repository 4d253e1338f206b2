// The rendered overlay and its blending onto video frames.
#pragma once

#include <cstdint>
#include <vector>

// A rendered overlay: premultiplied RGBA rows, and per row the columns that hold anything, so
// that blending skips the transparent rest.
struct OverlayImage {
    struct Span {
        int first = 0;  // first column drawn
        int end = 0;    // one past the last; equal to `first` for an empty row
    };
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width * 4 bytes a row
    std::vector<Span> spans;      // one a row

    OverlayImage(int width, int height, std::vector<uint8_t> pixels);
};

// Byte offsets of the channels within a frame's 4-byte pixel; `alpha` is -1 for the formats
// without alpha (RGBx, BGRx).
struct PixelLayout {
    int red;
    int green;
    int blue;
    int alpha;
};

// Draws the overlay over the frame's top left corner, clipped to the frame ("over" operator).
void blend_overlay(const OverlayImage &overlay, uint8_t *frame, int stride, int width, int height,
                   PixelLayout layout);
