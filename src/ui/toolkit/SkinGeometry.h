// Points, sizes and rectangles of the skin, in pixels. A rectangle is its
// top-left corner and its size; right() and bottom() are the first column
// and row past it. No system or toolkit types, so every backend shares them.
#pragma once

#include <algorithm>

namespace ui {

struct SkinPoint {
    int x = 0;
    int y = 0;
    friend bool operator==(const SkinPoint&, const SkinPoint&) = default;
};

struct SkinSize {
    int width = 0;
    int height = 0;
    friend bool operator==(const SkinSize&, const SkinSize&) = default;
};

struct SkinRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    int right() const { return left + width; }
    int bottom() const { return top + height; }
    bool isEmpty() const { return width <= 0 || height <= 0; }
    bool contains(SkinPoint p) const { return p.x >= left && p.x < right() && p.y >= top && p.y < bottom(); }
    SkinRect translated(int dx, int dy) const { return {left + dx, top + dy, width, height}; }
    // The common part; empty (zero size) when they do not meet.
    SkinRect intersected(const SkinRect& other) const {
        const int l = std::max(left, other.left);
        const int t = std::max(top, other.top);
        const int r = std::min(right(), other.right());
        const int b = std::min(bottom(), other.bottom());
        if (r <= l || b <= t) return {l, t, 0, 0};
        return {l, t, r - l, b - t};
    }
    friend bool operator==(const SkinRect&, const SkinRect&) = default;
};

}  // namespace ui
