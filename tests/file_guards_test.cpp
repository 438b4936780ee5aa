// The file guards against crafted bytes: the PNG chunk walk at its edges, the
// picture's size limit and the music's cap on both sides of each. Needs no
// display; the music is measured against audio opened on the dummy driver.

#include <SDL.h>
#include <SDL_mixer.h>

#include <vorbis/vorbisenc.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "file_guards.h"

namespace {

int failures = 0;
int cases = 0;

void expect(const std::string& what, const std::string& refusal, const std::string& wanted)
{
    const bool right = refusal == wanted;
    std::printf("%s %s", right ? "ok  " : "FAIL", what.c_str());
    if (!right)
        std::printf(": \"%s\", expected \"%s\"", refusal.c_str(), wanted.c_str());
    std::printf("\n");
    failures += !right;
    cases++;
}

std::string be32(Uint32 v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A chunk holding data whose length field says claimed bytes (data's own size
// unless given). The guard never reads the checksum.
std::string chunk(const char* type, const std::string& data, long long claimed = -1)
{
    return be32(static_cast<Uint32>(claimed < 0 ? data.size() : claimed)) + type + data + be32(0);
}

const std::string signature = "\x89PNG\r\n\x1a\n";

std::string header(Uint32 w, Uint32 h)
{
    return chunk("IHDR", be32(w) + be32(h) + std::string("\x08\x02\0\0\0", 5));
}

// Hands the guard bytes as tumble hands it a file: opened by name from disk.
void expect_guard(const std::string& what, const std::string& bytes, const std::string& wanted, bool music)
{
    char name[] = "/tmp/file_guards_test_XXXXXX";
    const int fd = mkstemp(name);
    const bool written = fd != -1 && write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    SDL_RWops* file = written ? SDL_RWFromFile(name, "rb") : nullptr;
    if (!file) {
        expect(what + ": a file to hand it", std::strerror(errno), "");
        return;
    }
    const std::string refusal = music ? music_refusal(file, name) : picture_refusal(file);
    expect(what, refusal, wanted);
    if (refusal.empty() && SDL_RWtell(file) != 0)
        expect(what + ": left at its start", std::to_string(SDL_RWtell(file)), "0");
    SDL_RWclose(file);
    unlink(name);
}

void expect_picture(const std::string& what, const std::string& png, const std::string& wanted)
{
    expect_guard("picture, " + what, png, wanted, false);
}

// seconds of a tone at 22,050 Hz stereo as Ogg Vorbis; its last page claims
// the stream holds claimed samples, when given.
std::string ogg(double seconds, long long claimed = -1)
{
    vorbis_info info;
    vorbis_info_init(&info);
    vorbis_encode_init_vbr(&info, 2, 22050, 0.1f);
    vorbis_comment comment;
    vorbis_comment_init(&comment);
    vorbis_dsp_state dsp;
    vorbis_analysis_init(&dsp, &info);
    vorbis_block block;
    vorbis_block_init(&dsp, &block);
    ogg_stream_state stream;
    ogg_stream_init(&stream, 1);

    std::string out;
    ogg_page page;
    const auto write = [&](ogg_page& p) {
        if (ogg_page_eos(&p) && claimed >= 0) {
            for (int i = 0; i < 8; ++i)
                p.header[6 + i] = static_cast<unsigned char>(claimed >> (8 * i));
            ogg_page_checksum_set(&p);
        }
        out.append(reinterpret_cast<char*>(p.header), p.header_len);
        out.append(reinterpret_cast<char*>(p.body), p.body_len);
    };
    ogg_packet headers[3];
    vorbis_analysis_headerout(&dsp, &comment, &headers[0], &headers[1], &headers[2]);
    for (ogg_packet& h : headers)
        ogg_stream_packetin(&stream, &h);
    while (ogg_stream_flush(&stream, &page))
        write(page);

    const int frames = static_cast<int>(seconds * 22050);
    float** buffer = vorbis_analysis_buffer(&dsp, frames);
    for (int i = 0; i < frames; ++i)
        buffer[0][i] = buffer[1][i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 440 * i / 22050));
    vorbis_analysis_wrote(&dsp, frames);
    vorbis_analysis_wrote(&dsp, 0);
    while (vorbis_analysis_blockout(&dsp, &block) == 1) {
        vorbis_analysis(&block, nullptr);
        vorbis_bitrate_addblock(&block);
        ogg_packet packet;
        while (vorbis_bitrate_flushpacket(&dsp, &packet)) {
            // A page a packet: the length then comes from the last page alone.
            ogg_stream_packetin(&stream, &packet);
            while (ogg_stream_flush(&stream, &page))
                write(page);
        }
    }
    ogg_stream_clear(&stream);
    vorbis_block_clear(&block);
    vorbis_dsp_clear(&dsp);
    vorbis_comment_clear(&comment);
    vorbis_info_clear(&info);
    return out;
}

void expect_music(const std::string& what, const std::string& bytes, const std::string& wanted)
{
    expect_guard("music, " + what, bytes, wanted, true);
}

} // namespace

int main()
{
    const std::string cut = "truncated or corrupt PNG file", not_png = "not a PNG image";
    const std::string image_data = chunk("IDAT", "0123456789"), end = chunk("IEND", "");
    const std::string head = signature + header(120, 80);

    expect_picture("whole", head + image_data + end, "");
    // Without an end chunk the image data may end the file, to the byte.
    expect_picture("last chunk ends exactly at the end of the file", head + image_data, "");
    expect_picture("last chunk claims one byte past the end", head + chunk("IDAT", "0123456789", 11), cut);
    expect_picture("an empty image-data chunk", head + chunk("IDAT", "") + end, "");
    expect_picture("another chunk after the image data, no end chunk", head + image_data + chunk("tEXt", "a"), "");
    // The decoder stops at the end chunk: what follows it is never read.
    expect_picture("a lying chunk after the end chunk", head + image_data + end + chunk("tEXt", "a", 1 << 30), "");
    expect_picture("a length with the top bit set", head + chunk("tEXt", "abc", 0x80000003) + image_data + end, cut);
    expect_picture("a length that passes the end by 4 GiB less 1",
                   head + chunk("tEXt", "abc", 0xFFFFFFFF) + image_data + end, cut);
    // Its size cannot be read from it: the decoder refuses it itself.
    expect_picture("a header chunk shorter than its fields", signature + chunk("IHDR", be32(1 << 20)) + image_data + end,
                   "");
    expect_picture("signature only", signature, cut);
    expect_picture("cut in the header chunk", head.substr(0, 20), cut);
    expect_picture("header chunk only", head, cut);
    expect_picture("no image data", head + end, "");
    expect_picture("empty", "", not_png);
    expect_picture("a GIF", "GIF89a" + image_data + end, not_png);

    // Rows are addressed in int: 4 bytes a pixel must fit one.
    expect_picture("16384x32767, just within an int", signature + header(16384, 32767) + image_data + end, "");
    expect_picture("16384x32768, just past it", signature + header(16384, 32768) + image_data + end,
                   "too large: 16384x32768 pixels");
    expect_picture("2^31 x 2^31, whose bytes wrap round 64 bits", signature + header(1u << 31, 1u << 31) + image_data + end,
                   "too large: 2147483648x2147483648 pixels");

    // The mixer as tumble opens it; the dummy driver grants the format asked.
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    SDL_Init(SDL_INIT_AUDIO);
    Mix_OpenAudio(22050, AUDIO_S16LSB, 2, 1024);
    const std::string too_long = "too long to be held in memory";
    const std::string two_seconds = ogg(2);
    expect_music("two seconds", two_seconds, "");
    expect_music("empty", "", "not an Ogg Vorbis file");
    expect_music("a WAV", "RIFF" + two_seconds, "not an Ogg Vorbis file");
    expect_music("Ogg's signature, then junk: the mixer's to refuse", "OggS" + std::string(400, 'x'), "");
    // At 22,050 Hz stereo nothing is converted: the cap falls at 1 GiB decoded,
    // 2^28 samples of 4 bytes.
    expect_music("claims 2^28 samples, 1 GiB", ogg(2, 1LL << 28), "");
    expect_music("claims 2^28 + 1 samples", ogg(2, (1LL << 28) + 1), too_long);
    expect_music("claims 2^62 samples", ogg(2, 1LL << 62), too_long);
    Mix_CloseAudio();
    SDL_Quit();

    std::printf("%d passed, %d failed\n", cases - failures, failures);
    return failures ? 1 : 0;
}
