#pragma once

#include <SDL.h>

#include <string>

// The program's defence against hostile files: each file is opened only when
// it is a regular file, and handed to its decoder only when the guard finds
// nothing wrong with it. A guard's answer is empty when the file may go on,
// else the reason, in the words of the line the program prints.

// Opens name for reading. Null for anything but a regular file, with the
// system's reason set as the error where the library's own would hide it.
SDL_RWops* open_regular_file(const char* name);

// Whether the PNG decoder may read file: it is a PNG, every chunk up to the end
// of the image data lies whole in the file, and its pixels fit an int at 4
// bytes each. Leaves file at its start.
std::string picture_refusal(SDL_RWops* file);

// Whether the mixer may decode file, opened from name: it is an Ogg stream,
// and decoded and converted to the opened audio device's format it fits the
// mixer's buffers. Leaves file at its start.
std::string music_refusal(SDL_RWops* file, const char* name);
