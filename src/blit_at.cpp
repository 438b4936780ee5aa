#include "blit_at.h"

int blit_at(SDL_Surface* src, SDL_Rect* src_rect, SDL_Surface* dst, int x, int y,
            bool center_x, bool center_y)
{
    // SDL_Rect holds 16-bit fields: every value is cut to 16 bits on the way in,
    // and the centring happens in that 16-bit field.
    SDL_Rect dst_rect;
    dst_rect.x = static_cast<Sint16>(x);
    dst_rect.y = static_cast<Sint16>(y);
    dst_rect.w = static_cast<Uint16>(src->w);
    dst_rect.h = static_cast<Uint16>(src->h);
    if (center_x)
        dst_rect.x = static_cast<Sint16>(dst_rect.x - src->w / 2);
    if (center_y)
        dst_rect.y = static_cast<Sint16>(dst_rect.y - src->h / 2);
    return SDL_BlitSurface(src, src_rect, dst, &dst_rect);
}
