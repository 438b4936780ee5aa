// blit_at on real SDL software surfaces: where the pixels land, not just the
// rectangle handed to the library. Needs no display.

#include <SDL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "blit_at.h"

namespace {

const Uint32 background = 0x00102030;
int failures = 0;
int cases = 0;

SDL_Surface* make_surface(int w, int h)
{
    return SDL_CreateRGBSurface(SDL_SWSURFACE, w, h, 32, 0x00ff0000, 0x0000ff00, 0x000000ff, 0);
}

Uint32& pixel(SDL_Surface* s, int x, int y)
{
    return static_cast<Uint32*>(s->pixels)[y * s->pitch / 4 + x];
}

// Every source pixel differs from its neighbours and from the background, so
// an offset of one pixel anywhere shows.
SDL_Surface* make_source(int w, int h)
{
    SDL_Surface* s = make_surface(w, h);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            pixel(s, x, y) = 0x00800000u | static_cast<Uint32>(y << 8 | x);
    return s;
}

// Draws src with blit_at onto a fresh 800x600 background and compares every
// destination pixel with src placed at (left, top), clipped to the destination.
void expect(const char* what, int src_w, int src_h, SDL_Rect* src_rect, int x, int y, bool cx, bool cy,
            int left, int top)
{
    SDL_Surface* src = make_source(src_w, src_h);
    SDL_Surface* dst = make_surface(800, 600);
    SDL_FillRect(dst, nullptr, background);
    const int result = blit_at(src, src_rect, dst, x, y, cx, cy);
    const int sx = src_rect ? src_rect->x : 0, sy = src_rect ? src_rect->y : 0;
    const int w = src_rect ? src_rect->w : src_w, h = src_rect ? src_rect->h : src_h;
    int wrong = 0;
    for (int dy = 0; dy < dst->h; dy++)
        for (int dx = 0; dx < dst->w; dx++) {
            const bool inside = dx >= left && dx < left + w && dy >= top && dy < top + h;
            const Uint32 want = inside ? pixel(src, dx - left + sx, dy - top + sy) : background;
            if (pixel(dst, dx, dy) != want && wrong++ == 0)
                std::printf("%s: pixel (%d,%d) is %06x, expected %06x\n", what, dx, dy,
                            static_cast<unsigned>(pixel(dst, dx, dy)), static_cast<unsigned>(want));
        }
    if (result != 0) {
        std::printf("%s: blit_at returned %d\n", what, result);
        wrong++;
    }
    std::printf("%s %s\n", wrong ? "FAIL" : "ok  ", what);
    failures += wrong != 0;
    cases++;
    SDL_FreeSurface(src);
    SDL_FreeSurface(dst);
}

} // namespace

int main()
{
    // Which SDL 1.2 this runs on, by the version it reports: 1.2.15 is the
    // classic one, 1.2.50 and later the one built on SDL2.
    const SDL_version* v = SDL_Linked_Version();
    const char* wanted = std::getenv("TUMBLE_SDL");
    const char* found = v->patch >= 50 ? "compat" : "classic";
    const bool right = !wanted || std::strcmp(wanted, found) == 0;
    std::printf("%s on SDL %d.%d.%d (%s)\n", right ? "ok  " : "FAIL", v->major, v->minor, v->patch, found);
    failures += !right;
    cases++;

    expect("edges: top-left corner at the point", 30, 20, nullptr, 5, 7, false, false, 5, 7);
    expect("centre: 100x60 at (400,300) starts at (350,270)", 100, 60, nullptr, 400, 300, true, true, 350, 270);
    expect("centre x only", 30, 20, nullptr, 50, 60, true, false, 35, 60);
    expect("centre y only", 30, 20, nullptr, 50, 60, false, true, 50, 50);
    expect("odd sizes: halves rounded toward zero", 101, 51, nullptr, 100, 70, true, true, 50, 45);
    expect("odd 1x1 centred stays on its point", 1, 1, nullptr, 9, 9, true, true, 9, 9);
    expect("negative point: clipped at the left and top", 101, 51, nullptr, 0, 0, true, true, -50, -25);
    expect("negative corner without centring", 40, 30, nullptr, -30, -10, false, false, -30, -10);
    expect("off the far edges: clipped", 40, 30, nullptr, 790, 590, false, false, 790, 590);
    expect("wholly outside: nothing drawn", 40, 30, nullptr, -100, 20, true, true, -120, 5);
    // x and y are cut to 16 bits before use: 65536 + 20 lands at 20.
    expect("positions cut to 16 bits", 30, 20, nullptr, 65536 + 20, 65536 * 3 + 5, false, false, 20, 5);
    SDL_Rect part = {4, 3, 10, 8};
    // Centring uses the whole surface's size, the source rectangle picks the part drawn.
    expect("source rectangle, centred on the whole surface", 40, 30, &part, 100, 100, true, true, 80, 85);

    // The blit's own result comes back unchanged: a locked surface makes it fail.
    SDL_Surface* src = make_source(8, 8);
    SDL_Surface* dst = make_surface(16, 16);
    SDL_LockSurface(src);
    const int locked_result = blit_at(src, nullptr, dst, 0, 0, false, false);
    SDL_UnlockSurface(src);
    SDL_Rect rect = {0, 0, 8, 8};
    SDL_LockSurface(src);
    const int library_result = SDL_BlitSurface(src, nullptr, dst, &rect);
    SDL_UnlockSurface(src);
    const bool passed = locked_result == library_result && locked_result != 0;
    std::printf("%s blit result passed through (%d, library %d)\n", passed ? "ok  " : "FAIL", locked_result,
                library_result);
    failures += !passed;
    cases++;
    SDL_FreeSurface(src);
    SDL_FreeSurface(dst);
    SDL_Quit();

    std::printf("%d passed, %d failed\n", cases - failures, failures);
    return failures ? 1 : 0;
}
