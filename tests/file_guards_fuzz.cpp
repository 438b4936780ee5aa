// libFuzzer target: a file guard, then the real decoder on whatever it lets
// through, as tumble does. Built once for the picture and once for the music
// (FUZZ_MUSIC). TUMBLE_FUZZ_UNGUARDED=1 hands every input to the decoder, to
// show what the guard keeps out.

#include <SDL.h>
#include <SDL_image.h>
#include <SDL_mixer.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "file_guards.h"

namespace {
bool unguarded = false;
// vorbisfile measures the music by its name: each input is written here.
const std::string music_path = "/tmp/tumble_fuzz_music_" + std::to_string(getpid()) + ".ogg";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    unguarded = std::getenv("TUMBLE_FUZZ_UNGUARDED") != nullptr;
#ifdef FUZZ_MUSIC
    // The mixer as tumble opens it.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SDL_Init(SDL_INIT_AUDIO);
    Mix_OpenAudio(22050, AUDIO_S16LSB, 2, 1024);
    Mix_AllocateChannels(1);
    std::atexit([] { std::remove(music_path.c_str()); });
#else
    SDL_Init(0);
#endif
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
#ifdef FUZZ_MUSIC
    if (FILE* f = std::fopen(music_path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    SDL_RWops* file = SDL_RWFromFile(music_path.c_str(), "rb");
    if (!file)
        return 0;
    if (unguarded || music_refusal(file, music_path.c_str()).empty())
        Mix_FreeChunk(Mix_LoadWAV_RW(file, 1));
    else
        SDL_RWclose(file);
#else
    // The SDL2-based library makes no stream of nothing.
    SDL_RWops* file = SDL_RWFromConstMem(data, static_cast<int>(size));
    if (!file)
        return 0;
    if (unguarded || picture_refusal(file).empty())
        SDL_FreeSurface(IMG_LoadPNG_RW(file));
    SDL_RWclose(file);
#endif
    return 0;
}
