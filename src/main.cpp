// tumble: one picture drifts across a black, full-screen display, bounces off
// the edges, turns without stopping and slowly swells and shrinks while a piece
// of music loops. Any key, any mouse button or closing the display ends it.
//
// It reads "tavrin.png" and "tavrin.ogg" from the working directory.

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_mixer.h>
#include <SDL_rotozoom.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <fcntl.h>
#endif

#include "blit_at.h"
#include "file_guards.h"
#include "shut_down.h"

int main(int, char**)
{
#ifndef _WIN32
    // A standard descriptor closed at start would be handed to the first file
    // opened (the X connection, say), and an error line would be written into it.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            open("/dev/null", O_RDWR);
#endif

    // Every fatal way out. The display is let go first (and the terminal,
    // which a text-mode video driver takes over), so the line is written where
    // the user can still read it, whatever the sound is doing.
    const auto fail = [](const char* format) {
        const std::string reason = SDL_GetError();
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        std::fprintf(stderr, format, reason.c_str());
        std::fflush(stderr);
        return shut_down(1);
    };

    // Sound is never fatal: when some other subsystem (an audio server that is
    // not running, say) keeps everything from starting, the display and the
    // timer start alone, and the music says why it is missing. Sound that did
    // not start then is not started again by the mixer: a sound server that
    // hung through SDL_Init would hang that start as long, with the screen
    // already taken and no key read.
    bool sound = true;
    std::string sound_error;
    if (SDL_Init(SDL_INIT_EVERYTHING) == -1) {
        sound_error = SDL_GetError();
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_TIMER) == -1)
            return fail("couldn't initialize SDL (%s)\n");
        sound = SDL_WasInit(SDL_INIT_AUDIO) != 0;
    }

    SDL_Surface* screen = SDL_SetVideoMode(0, 0, 32, SDL_HWSURFACE | SDL_DOUBLEBUF | SDL_FULLSCREEN);
    // A surface counts a row's bytes in 16 bits: on a screen 16384 pixels wide
    // or more the first fill would write through a pitch that wrapped round.
    if (screen && screen->pitch < screen->w * screen->format->BytesPerPixel) {
        SDL_SetError("a %d-pixel-wide screen is too wide for SDL 1.2", screen->w);
        screen = nullptr;
    }
    if (!screen)
        return fail("couldn't create window (%s)\n");
    SDL_ShowCursor(SDL_DISABLE);

    const float base_zoom = static_cast<float>(screen->w / 1280.0);
    // rand is left unseeded, so every run on the same screen starts alike.
    const int first_draw = std::rand();
    const int second_draw = std::rand();
    const int third_draw = std::rand();

    // Only the PNG decoder ever sees the file: by content alone SDL_image would
    // hand it to any of its fifteen decoders, old and little-used ones included.
    SDL_Surface* loaded = nullptr;
    if (SDL_RWops* picture_file = open_regular_file("tavrin.png")) {
        const std::string refusal = picture_refusal(picture_file);
        if (refusal.empty())
            loaded = IMG_LoadPNG_RW(picture_file);
        else
            SDL_SetError("%s", refusal.c_str());
        SDL_RWclose(picture_file);
    }
    if (!loaded)
        return fail("couldn't load image \"tavrin.png\" (%s)\n");
    // Display format has no alpha channel: the file's transparency is dropped.
    SDL_Surface* image = SDL_DisplayFormat(loaded);
    SDL_FreeSurface(loaded);
    if (!image)
        return fail("couldn't load image \"tavrin.png\" (%s)\n");

    if (sound)
        Mix_OpenAudio(22050, AUDIO_S16LSB, 2, 1024);
    Mix_AllocateChannels(1);
    Mix_Chunk* music = nullptr;
    if (!sound)
        SDL_SetError("%s", sound_error.c_str());
    else if (SDL_RWops* music_file = open_regular_file("tavrin.ogg")) {
        const std::string refusal = music_refusal(music_file, "tavrin.ogg");
        if (refusal.empty()) {
            music = Mix_LoadWAV_RW(music_file, 1);
        } else {
            SDL_SetError("%s", refusal.c_str());
            SDL_RWclose(music_file);
        }
    }
    if (!music) {
        std::fprintf(stderr, "could not load \"tavrin.ogg\" (%s) - easter egg #1 won't have music\n",
                     SDL_GetError());
        std::fflush(stderr);
    }

    float pos_x = static_cast<float>(first_draw % screen->w);
    float pos_y = static_cast<float>(second_draw % screen->h);
    // Both steps come from the width, so the picture moves at 45 degrees on any screen.
    float vel_x = static_cast<float>(screen->w / 640.0);
    float vel_y = vel_x;
    double angle = third_draw % 359;
    const int bound_w = screen->w;
    const int bound_h = screen->h;

    Mix_PlayChannelTimed(0, music, -1, -1);

    for (;;) {
        bool quit_requested = false;
        SDL_Event event;
        while (SDL_PollEvent(&event)) {
            if (event.type == SDL_KEYDOWN || event.type == SDL_MOUSEBUTTONDOWN || event.type == SDL_QUIT)
                quit_requested = true;
        }

        SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));

        // One full swing of the size every 2*pi / 0.013, about 483 frames.
        const double zoom = (std::sin(angle * 0.01) * 0.25 + 0.75) * base_zoom;
        // A new copy from the untouched picture each frame, so turning never blurs it.
        // When it cannot be made the frame simply shows no picture.
        if (SDL_Surface* turned = rotozoomSurface(image, angle, zoom, SMOOTHING_OFF)) {
            // Its colour key (black) and opaque surface alpha change no pixel on the
            // black screen but send the blit down a slow path: dropped, it is a plain copy.
            SDL_SetColorKey(turned, 0, 0);
            SDL_SetAlpha(turned, 0, 0);
            blit_at(turned, nullptr, screen, static_cast<int>(pos_x), static_cast<int>(pos_y), true, true);
            SDL_FreeSurface(turned);
        }

        // The bounce tests the centre, so half the picture leaves the screen
        // before it turns back.
        if (pos_x > bound_w || pos_x < 0)
            vel_x = -vel_x;
        if (pos_y > bound_h || pos_y < 0)
            vel_y = -vel_y;

        if (SDL_Flip(screen) == -1)
            return fail("error updating screen (%s)\n");
        SDL_Delay(20);

        // The frame that saw the quit request has been drawn, shown and waited.
        // The desktop comes back first, whatever the sound is doing.
        if (quit_requested) {
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            return shut_down(0);
        }

        angle += 1.3f;
        pos_x += vel_x;
        pos_y += vel_y;
    }
}
