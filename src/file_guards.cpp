#include "file_guards.h"

#include <SDL_image.h>
#include <SDL_mixer.h>

#include <vorbis/vorbisfile.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>

SDL_RWops* open_regular_file(const char* name)
{
    // A named pipe would block in open for ever behind the grabbed screen.
    std::error_code error;
    if (!std::filesystem::is_regular_file(name, error) && !error) {
        SDL_SetError("not a regular file");
        return nullptr;
    }
    errno = 0;
    SDL_RWops* file = SDL_RWFromFile(name, "rb");
    // The library's text would hide a symlink loop or a missing permission.
    if (!file && errno != 0 && errno != ENOENT)
        SDL_SetError("%s", std::strerror(errno));
    return file;
}

std::string picture_refusal(SDL_RWops* file)
{
    // SDL_image ignores short reads, so a chunk that claims more bytes than the
    // file holds sends libpng round and round on stale data for ever: every
    // chunk the decoder reads (up to the end of the image data) must lie whole
    // in the file.
    const long file_size = SDL_RWseek(file, 0, RW_SEEK_END);
    long offset = 8;
    bool whole = false, in_image_data = false;
    Uint32 width = 0, height = 0;
    while (!whole && offset + 12 <= file_size && SDL_RWseek(file, offset, RW_SEEK_SET) == offset) {
        const Uint32 length = SDL_ReadBE32(file);
        char type[4] = {};
        SDL_RWread(file, type, 1, 4);
        if (length > static_cast<Uint32>(file_size - offset - 12))
            break;
        if (std::memcmp(type, "IHDR", 4) == 0 && length >= 8) {
            width = SDL_ReadBE32(file);
            height = SDL_ReadBE32(file);
        }
        const bool image_data = std::memcmp(type, "IDAT", 4) == 0;
        whole = std::memcmp(type, "IEND", 4) == 0 || (in_image_data && !image_data);
        in_image_data = image_data;
        offset += 12 + static_cast<long>(length);
    }
    // Without an end chunk the file may still end right after its image data.
    whole = whole || (in_image_data && offset == file_size);

    SDL_RWseek(file, 0, RW_SEEK_SET);
    if (!IMG_isPNG(file))
        return "not a PNG image";
    if (!whole)
        return "truncated or corrupt PNG file";
    // The picture's rows are addressed in int, at 4 bytes a pixel. (The
    // product is kept in 64 bits by leaving the 4 out: 2^31 x 2^31 x 4 wraps.)
    if (std::uint64_t{width} * height > INT_MAX / 4)
        return "too large: " + std::to_string(width) + "x" + std::to_string(height) + " pixels";
    return {};
}

std::string music_refusal(SDL_RWops* file, const char* name)
{
    // Only an Ogg stream reaches the mixer's decoders, which would otherwise
    // take WAV, AIFF, VOC and more by content.
    char signature[4] = {};
    if (SDL_RWread(file, signature, 1, 4) != 4 || std::memcmp(signature, "OggS", 4) != 0
        || SDL_RWseek(file, 0, RW_SEEK_SET) != 0)
        return "not an Ogg Vorbis file";

    // The mixer decodes the whole stream into one buffer, then converts it in
    // another len_mult times as large, both counted in int: past that it writes
    // beyond them. So the stream is measured first as the mixer will measure
    // it: the conversion must fit an int, and the chunk it leaves is held to
    // 1 GiB, over three hours of stereo at 22,050 Hz. A stream vorbisfile
    // cannot open is left to the mixer, which says why.
    OggVorbis_File vorbis;
    if (ov_fopen(name, &vorbis) != 0)
        return {};
    const vorbis_info* info = ov_info(&vorbis, -1);
    const double decoded = static_cast<double>(ov_pcm_total(&vorbis, -1)) * 2 * info->channels;
    double converting = decoded, converted = decoded;
    int rate = 0, channels = 0;
    Uint16 format = 0;
    SDL_AudioCVT cvt;
    if (Mix_QuerySpec(&rate, &format, &channels)
        && SDL_BuildAudioCVT(&cvt, AUDIO_S16LSB, static_cast<Uint8>(info->channels), static_cast<int>(info->rate),
                             format, static_cast<Uint8>(channels), rate) >= 0
        && cvt.needed) {
        converting = decoded * cvt.len_mult;
        converted = decoded * cvt.len_ratio;
    }
    ov_clear(&vorbis);
    if (converting > INT_MAX || converted > 1 << 30)
        return "too long to be held in memory";
    return {};
}
