#pragma once

#include <SDL.h>

// Draws src onto dst with its centre (or its left / top edge) at (x, y).
// Returns the blit's result unchanged.
int blit_at(SDL_Surface* src, SDL_Rect* src_rect, SDL_Surface* dst, int x, int y,
            bool center_x, bool center_y);
