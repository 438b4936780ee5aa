// make_assets: draws the default picture (tavrin.png) and composes the default
// music (tavrin.ogg). Everything is computed here, with fixed seeds, so every
// run writes byte-identical files.

#include <png.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// ---------------------------------------------------------------- picture

struct Vec2 {
    double x, y;
};
Vec2 operator-(Vec2 a, Vec2 b) { return {a.x - b.x, a.y - b.y}; }
Vec2 operator+(Vec2 a, Vec2 b) { return {a.x + b.x, a.y + b.y}; }
Vec2 operator*(Vec2 a, double s) { return {a.x * s, a.y * s}; }
double dot(Vec2 a, Vec2 b) { return a.x * b.x + a.y * b.y; }
double length(Vec2 a) { return std::sqrt(dot(a, a)); }

struct Rgb {
    double r, g, b;
};
Rgb operator+(Rgb a, Rgb b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
Rgb operator*(Rgb a, double s) { return {a.r * s, a.g * s, a.b * s}; }
Rgb mix(Rgb a, Rgb b, double t) { return a * (1 - t) + b * t; }

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }
double smoothstep(double e0, double e1, double v) {
    const double t = clamp01((v - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}

// Signed distances in pixels, negative inside; a one-pixel ramp across the
// edge gives the anti-aliasing.
double coverage(double distance) { return clamp01(0.5 - distance); }

double circleDistance(Vec2 p, Vec2 centre, double radius) { return length(p - centre) - radius; }

double roundedBoxDistance(Vec2 p, Vec2 centre, Vec2 half, double radius) {
    const Vec2 q{std::abs(p.x - centre.x) - half.x + radius, std::abs(p.y - centre.y) - half.y + radius};
    return length({std::max(q.x, 0.0), std::max(q.y, 0.0)}) + std::min(std::max(q.x, q.y), 0.0) - radius;
}

double polygonDistance(Vec2 p, const std::vector<Vec2>& v) {
    double nearest = dot(p - v[0], p - v[0]);
    double sign = 1;
    for (std::size_t i = 0, j = v.size() - 1; i < v.size(); j = i++) {
        const Vec2 e = v[j] - v[i], w = p - v[i];
        const Vec2 b = w - e * clamp01(dot(w, e) / dot(e, e));
        nearest = std::min(nearest, dot(b, b));
        const bool c1 = p.y >= v[i].y, c2 = p.y < v[j].y, c3 = e.x * w.y > e.y * w.x;
        if ((c1 && c2 && c3) || (!c1 && !c2 && !c3)) sign = -sign;
    }
    return sign * std::sqrt(nearest);
}

// A round head of radius r1 at the origin tapering to radius r2 at (0, h).
double teardropDistance(Vec2 p, double r1, double r2, double h) {
    p.x = std::abs(p.x);
    const double b = (r1 - r2) / h, a = std::sqrt(1 - b * b), k = dot(p, {-b, a});
    if (k < 0) return length(p) - r1;
    if (k > a * h) return length(p - Vec2{0, h}) - r2;
    return dot(p, {a, b}) - r1;
}

Vec2 rotated(Vec2 p, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    return {c * p.x - s * p.y, s * p.x + c * p.y};
}

// The rocket is drawn on a 240x320 board; the picture is the window onto it
// that just holds the rocket. Every frame turns the picture's whole bounding
// box, so black margins would cost drawing time on every frame.
constexpr double kAxis = 120;
constexpr int kPictureLeft = 30, kPictureTop = 22;
constexpr int kPictureWidth = 180, kPictureHeight = 296;

// The hull is an ogive: the overlap of two large circles, widest at
// kHullWidestY and pointed at the top, cut flat at kHullBaseY.
constexpr double kHullRadius = 244.04, kHullOffset = 194.04;
constexpr double kHullWidestY = 170, kHullBaseY = 232;

double hullHalfWidth(double y) {
    const double dy = y - kHullWidestY;
    return std::sqrt(std::max(kHullRadius * kHullRadius - dy * dy, 0.0)) - kHullOffset;
}
double hullDistance(Vec2 p) {
    const double side = length({std::abs(p.x - kAxis) + kHullOffset, p.y - kHullWidestY}) - kHullRadius;
    return std::max(side, p.y - kHullBaseY);
}

// Light from the upper left on a round surface; u runs -1..1 across it.
Rgb litCylinder(Rgb base, double u) {
    u = std::clamp(u, -1.0, 1.0);
    const double facing = std::max(0.0, -0.55 * u + 0.835 * std::sqrt(1 - u * u));
    return base * (0.28 + 0.72 * facing) + Rgb{1, 1, 1} * (0.45 * std::pow(facing, 28));
}

// Rings painted around the hull bulge downwards in the middle, as seen from a
// little above.
double ringEdge(Vec2 p, double y) {
    const double u = (p.x - kAxis) / std::max(hullHalfWidth(p.y), 1.0);
    return y + 5 * std::sqrt(std::max(0.0, 1 - u * u)) - p.y;
}

double flameDistance(Vec2 p) {
    const Vec2 head{kAxis, 262};
    const double middle = teardropDistance(p - head, 17, 1.5, 46);
    const double left = teardropDistance(rotated(p - head - Vec2{-9, 0}, -0.28), 10, 1, 30);
    const double right = teardropDistance(rotated(p - head - Vec2{9, 0}, 0.28), 10, 1, 30);
    return std::min({middle, left, right});
}

Rgb rocketPixel(Vec2 p) {
    const Rgb white{0.93, 0.95, 1.0}, red{0.95, 0.24, 0.32}, deepRed{0.62, 0.08, 0.30};
    Rgb c{0, 0, 0};
    const auto paint = [&c](double distance, Rgb colour) { c = mix(c, colour, coverage(distance)); };

    // A warm glow under the exhaust, faded out well before the picture's edge.
    const double glow = std::max(0.0, 1 - length(p - Vec2{kAxis, 276}) / 44);
    c = c + Rgb{1.0, 0.45, 0.12} * (0.55 * glow * glow);

    const double flame = flameDistance(p);
    const double along = clamp01((p.y - 250) / 60);
    paint(flame, mix(Rgb{1.0, 0.45, 0.1}, Rgb{0.85, 0.1, 0.25}, along));
    paint(flame + 5, mix(Rgb{1.0, 0.8, 0.2}, Rgb{1.0, 0.45, 0.1}, along));
    paint(flame + 10, Rgb{1.0, 0.97, 0.75});

    const double nozzle = polygonDistance(p, {{kAxis - 17, 226}, {kAxis + 17, 226}, {kAxis + 22, 252}, {kAxis - 22, 252}}) - 1.5;
    paint(nozzle, litCylinder(Rgb{0.45, 0.48, 0.58}, (p.x - kAxis) / 22));

    // Fins sit behind the hull; mirror the left one.
    const Vec2 mirrored{kAxis - std::abs(p.x - kAxis), p.y};
    const double fin = polygonDistance(mirrored, {{76, 148}, {36, 232}, {34, 262}, {82, 226}}) - 3;
    paint(fin, mix(red, deepRed, smoothstep(150, 262, p.y)) * (0.8 + 0.2 * smoothstep(80, 40, mirrored.x)));

    const double hull = hullDistance(p);
    const double across = (p.x - kAxis) / std::max(hullHalfWidth(p.y), 1.0);
    const double inNose = coverage(-ringEdge(p, 78));
    const double inStripe = coverage(ringEdge(p, 200)) * coverage(-ringEdge(p, 210));
    paint(hull, litCylinder(mix(white, red, std::max(inNose, inStripe)), across));

    const Vec2 window{kAxis, 128};
    paint(circleDistance(p, window, 25), litCylinder(Rgb{0.72, 0.75, 0.85}, (p.x - window.x) / 25));
    const double glassShade = smoothstep(-26, 22, (p.x - window.x) + (p.y - window.y));
    paint(circleDistance(p, window, 19), mix(Rgb{0.35, 0.85, 1.0}, Rgb{0.08, 0.18, 0.5}, glassShade));
    c = mix(c, Rgb{1, 1, 1}, 0.85 * coverage(circleDistance(p, window - Vec2{7, 7}, 5.5)));
    c = mix(c, Rgb{1, 1, 1}, 0.6 * coverage(circleDistance(p, window + Vec2{7, 8}, 2.2)));

    const double keel = roundedBoxDistance(p, {kAxis, 224}, {5.5, 22}, 4);
    paint(keel, litCylinder(mix(red, deepRed, smoothstep(202, 246, p.y)), (p.x - kAxis) / 5.5));
    return c;
}

void writePng(const std::filesystem::path& path, int width, int height, png_uint_32 format,
              const std::vector<std::uint8_t>& pixels) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    const bool written = png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr);
    const std::string message = image.message;
    png_image_free(&image);
    if (!written) throw std::runtime_error("can't write " + path.string() + ": " + message);
}

void writePicture(const std::filesystem::path& path) {
    std::vector<std::uint8_t> rgb;
    rgb.reserve(std::size_t{kPictureWidth} * kPictureHeight * 3);
    for (int y = 0; y < kPictureHeight; ++y) {
        for (int x = 0; x < kPictureWidth; ++x) {
            const Rgb c = rocketPixel({kPictureLeft + x + 0.5, kPictureTop + y + 0.5});
            for (double channel : {c.r, c.g, c.b})
                rgb.push_back(static_cast<std::uint8_t>(std::lround(clamp01(channel) * 255)));
        }
    }
    writePng(path, kPictureWidth, kPictureHeight, PNG_FORMAT_RGB, rgb);
}

// The icon is the rocket alone on a transparent square around it. The rocket
// is painted on black, so where it covers a pixel partly its colour is
// premultiplied by that coverage; dividing by the coverage gives the colour
// back, and the glow, which belongs to the black, is left out.
double rocketCoverage(Vec2 p) {
    const Vec2 mirrored{kAxis - std::abs(p.x - kAxis), p.y};
    const double nozzle = polygonDistance(p, {{kAxis - 17, 226}, {kAxis + 17, 226}, {kAxis + 22, 252}, {kAxis - 22, 252}}) - 1.5;
    const double fin = polygonDistance(mirrored, {{76, 148}, {36, 232}, {34, 262}, {82, 226}}) - 3;
    return coverage(std::min({flameDistance(p), nozzle, fin, hullDistance(p)}));
}

void writeIcon(const std::filesystem::path& path, int size) {
    // A square a little taller than the rocket, centred on it.
    constexpr double kSide = kPictureHeight + 16;
    const Vec2 corner{kAxis - kSide / 2, kPictureTop + kPictureHeight / 2.0 - kSide / 2};
    constexpr int kSamples = 8;  // per axis, per icon pixel
    const double step = kSide / size / kSamples;
    std::vector<std::uint8_t> rgba;
    rgba.reserve(std::size_t(size) * size * 4);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            Rgb sum{0, 0, 0};
            double alpha = 0;
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const Vec2 p = corner + Vec2{(x * kSamples + sx + 0.5) * step, (y * kSamples + sy + 0.5) * step};
                    const double a = rocketCoverage(p);
                    if (a <= 0) continue;
                    const Rgb c = rocketPixel(p);
                    sum = sum + Rgb{std::min(c.r, a), std::min(c.g, a), std::min(c.b, a)};
                    alpha += a;
                }
            }
            const double straight = alpha > 0 ? 1 / alpha : 0;
            for (double channel : {sum.r * straight, sum.g * straight, sum.b * straight, alpha / (kSamples * kSamples)})
                rgba.push_back(static_cast<std::uint8_t>(std::lround(clamp01(channel) * 255)));
        }
    }
    writePng(path, size, size, PNG_FORMAT_RGBA, rgba);
}

// ------------------------------------------------------------------ music

constexpr int kSampleRate = 22050;
constexpr double kSecondsPerBeat = 60.0 / 96;
constexpr int kBeatsPerBar = 4;
constexpr int kBars = 8;
constexpr auto kLoopFrames = static_cast<std::size_t>(kBars * kBeatsPerBar * kSecondsPerBeat * kSampleRate);
static_assert(kLoopFrames * 1.0 == kBars * kBeatsPerBar * kSecondsPerBeat * kSampleRate,
              "the loop must be a whole number of frames");

// The piece is periodic: whatever rings past the end is mixed in at the
// start, so the loop point has no seam.
struct StereoLoop {
    std::vector<float> left = std::vector<float>(kLoopFrames), right = std::vector<float>(kLoopFrames);
    void add(std::size_t frame, double l, double r) {
        left[frame % kLoopFrames] += static_cast<float>(l);
        right[frame % kLoopFrames] += static_cast<float>(r);
    }
};

struct Note {
    double beat, beats;
    int key;  // MIDI note number
};

double keyToHz(int key) { return 440 * std::pow(2.0, (key - 69) / 12.0); }

struct Envelope {
    double attack, decay, sustain, release;
    double level(double t, double held) const {
        const auto shape = [this](double s) {
            if (s < attack) return s / attack;
            return sustain + (1 - sustain) * std::exp(-(s - attack) / decay);
        };
        if (t < held) return shape(t);
        const double fade = std::max(0.0, 1 - (t - held) / release);
        return shape(held) * fade * fade;
    }
};

// Renders voice(t, hz) for one note through the envelope into the loop.
template <typename Voice>
void playNote(StereoLoop& loop, const Note& note, const Envelope& envelope, double pan, double gain, Voice voice) {
    const double held = note.beats * kSecondsPerBeat, hz = keyToHz(note.key);
    const auto start = static_cast<std::size_t>(std::lround(note.beat * kSecondsPerBeat * kSampleRate));
    const auto frames = static_cast<std::size_t>((held + envelope.release) * kSampleRate);
    const double l = gain * std::cos((pan + 1) * kPi / 4), r = gain * std::sin((pan + 1) * kPi / 4);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kSampleRate;
        const double v = envelope.level(t, held) * voice(t, hz);
        loop.add(start + i, v * l, v * r);
    }
}

double sine(double t, double hz) { return std::sin(2 * kPi * hz * t); }

// A minor: Am F C G | Am F G E, the E major turning back to the top.
const std::vector<std::vector<int>> kChords = {{57, 60, 64}, {57, 60, 65}, {55, 60, 64}, {55, 59, 62},
                                               {57, 60, 64}, {57, 60, 65}, {55, 59, 62}, {56, 59, 64}};
const std::vector<int> kBassRoots = {45, 41, 48, 43, 45, 41, 43, 40};
const std::vector<Note> kMelody = {
    {0, 1.5, 76},  {1.5, 0.5, 74}, {2, 1, 72},     {3, 1, 69},      {4, 0.5, 69},  {4.5, 1, 72},
    {5.5, 1.5, 77}, {7, 1, 76},    {8, 1.5, 79},   {9.5, 0.5, 76},  {10, 1, 72},   {11, 1, 76},
    {12, 2, 74},   {14, 1, 71},    {15, 1, 74},    {16, 1.5, 76},   {17.5, 0.5, 74}, {18, 1, 72},
    {19, 0.5, 69}, {19.5, 0.5, 72}, {20, 1.5, 77}, {21.5, 0.5, 76}, {22, 1, 72},   {23, 1, 69},
    {24, 1, 71},   {25, 1, 74},    {26, 1.5, 79},  {27.5, 0.5, 77}, {28, 1.5, 76}, {29.5, 0.5, 74},
    {30, 1, 71},   {31, 1, 68}};

void addPad(StereoLoop& loop) {
    const Envelope swell{0.4, 0.8, 0.75, 0.9};
    for (int bar = 0; bar < kBars; ++bar) {
        for (int key : kChords[bar]) {
            const Note note{double(bar * kBeatsPerBar), double(kBeatsPerBar), key};
            // Slightly detuned partials per side make the chord wide.
            for (double side : {-1.0, 1.0}) {
                playNote(loop, note, swell, side, 0.07, [side](double t, double hz) {
                    double v = 0;
                    for (int n = 1; n <= 6; ++n) v += sine(t, n * hz * (1 + side * 0.0025)) / n;
                    return v;
                });
            }
        }
    }
}

void addBass(StereoLoop& loop) {
    const Envelope pluck{0.005, 0.3, 0.5, 0.12};
    const std::vector<Note> pattern = {{0, 1.25, 0}, {1.5, 0.5, 0}, {2, 1, 7}, {3, 0.5, 12}, {3.5, 0.5, 7}};
    for (int bar = 0; bar < kBars; ++bar) {
        for (const Note& step : pattern) {
            const Note note{bar * kBeatsPerBar + step.beat, step.beats, kBassRoots[bar] + step.key};
            playNote(loop, note, pluck, 0, 0.45, [](double t, double hz) {
                const double brightness = 1.5 * std::exp(-t * 8);
                return std::sin(2 * kPi * hz * t + brightness * sine(t, hz));
            });
        }
    }
}

// The lead is an FM electric piano with a ping-pong echo, a dotted eighth apart.
void addLead(StereoLoop& loop) {
    StereoLoop dry;
    const Envelope keys{0.008, 0.5, 0.45, 0.3};
    for (const Note& note : kMelody) {
        playNote(dry, note, keys, 0.15, 0.34, [](double t, double hz) {
            const double index = 0.6 + 1.8 * std::exp(-t * 5);
            const double vibrato = 0.003 * std::sin(2 * kPi * 5.5 * t) * std::min(1.0, t * 2);
            return std::sin(2 * kPi * hz * (1 + vibrato) * t + index * sine(t, hz));
        });
    }
    const auto delay = static_cast<std::size_t>(std::lround(0.75 * kSecondsPerBeat * kSampleRate));
    for (std::size_t i = 0; i < kLoopFrames; ++i) {
        loop.add(i, dry.left[i], dry.right[i]);
        const double mono = 0.5 * (dry.left[i] + dry.right[i]);
        loop.add(i + delay, 0.35 * mono, 0.05 * mono);
        loop.add(i + 2 * delay, 0.05 * mono, 0.22 * mono);
        loop.add(i + 3 * delay, 0.12 * mono, 0.02 * mono);
    }
}

void addDrums(StereoLoop& loop) {
    std::uint32_t noise = 0x1234567u;  // xorshift32, fixed seed
    const auto nextNoise = [&noise] {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        return noise / 2147483648.0 - 1;
    };
    const auto frameOf = [](double beat) { return static_cast<std::size_t>(std::lround(beat * kSecondsPerBeat * kSampleRate)); };
    for (int beat = 0; beat < kBars * kBeatsPerBar; ++beat) {
        if (beat % 2 == 0) {  // soft kick: a sine falling in pitch
            double phase = 0;
            for (std::size_t i = 0; i < kSampleRate / 4; ++i) {
                const double t = static_cast<double>(i) / kSampleRate;
                phase += 2 * kPi * (45 + 75 * std::exp(-t * 30)) / kSampleRate;
                const double v = 0.45 * std::exp(-t * 14) * std::sin(phase);
                loop.add(frameOf(beat) + i, v, v);
            }
        }
        for (double offset : {0.0, 0.5}) {  // hi-hat ticks on the eighths, the off-beats louder
            const double gain = offset > 0 ? 0.09 : 0.05;
            double previous = 0;
            for (std::size_t i = 0; i < kSampleRate / 16; ++i) {
                const double t = static_cast<double>(i) / kSampleRate, white = nextNoise();
                const double v = gain * std::exp(-t * 70) * (white - previous);  // differencing keeps it bright
                previous = white;
                loop.add(frameOf(beat + offset) + i, 0.8 * v, 0.5 * v);
            }
        }
    }
}

StereoLoop composeMusic() {
    StereoLoop loop;
    addPad(loop);
    addBass(loop);
    addLead(loop);
    addDrums(loop);
    float peak = 0;
    for (const auto* channel : {&loop.left, &loop.right})
        for (float v : *channel) peak = std::max(peak, std::abs(v));
    const float toMinus3dB = 0.7079f / peak;
    for (auto* channel : {&loop.left, &loop.right})
        for (float& v : *channel) v *= toMinus3dB;
    return loop;
}

class OggVorbisWriter {
public:
    explicit OggVorbisWriter(const std::filesystem::path& path) : path_(path), out_(path, std::ios::binary) {
        if (!out_) throw std::runtime_error("can't create " + path.string());
        vorbis_info_init(&info_);
        vorbis_comment_init(&comment_);
        if (vorbis_encode_init_vbr(&info_, 2, kSampleRate, 0.2f) != 0) {
            clearInfo();
            throw std::runtime_error("the Vorbis encoder refused its settings");
        }
        vorbis_analysis_init(&dsp_, &info_);
        vorbis_block_init(&dsp_, &block_);
        ogg_stream_init(&stream_, 0x74756d62);  // fixed serial number: output must not vary between runs
        ogg_packet header, comments, codebooks;
        vorbis_comment_add_tag(&comment_, "TITLE", "tumble");
        vorbis_analysis_headerout(&dsp_, &comment_, &header, &comments, &codebooks);
        for (ogg_packet* packet : {&header, &comments, &codebooks}) ogg_stream_packetin(&stream_, packet);
        ogg_page page;
        while (ogg_stream_flush(&stream_, &page) != 0) writePage(page);
    }
    ~OggVorbisWriter() {
        ogg_stream_clear(&stream_);
        vorbis_block_clear(&block_);
        vorbis_dsp_clear(&dsp_);
        clearInfo();
    }
    OggVorbisWriter(const OggVorbisWriter&) = delete;
    OggVorbisWriter& operator=(const OggVorbisWriter&) = delete;

    void write(const StereoLoop& loop) {
        constexpr std::size_t kChunk = 1024;
        for (std::size_t at = 0; at < kLoopFrames; at += kChunk) {
            const std::size_t n = std::min(kChunk, kLoopFrames - at);
            float** buffer = vorbis_analysis_buffer(&dsp_, static_cast<int>(n));
            std::copy_n(loop.left.begin() + at, n, buffer[0]);
            std::copy_n(loop.right.begin() + at, n, buffer[1]);
            vorbis_analysis_wrote(&dsp_, static_cast<int>(n));
            encodeReadyBlocks();
        }
        vorbis_analysis_wrote(&dsp_, 0);
        encodeReadyBlocks();
        out_.flush();
        if (!out_) throw std::runtime_error("can't write " + path_.string());
    }

private:
    void clearInfo() {
        vorbis_comment_clear(&comment_);
        vorbis_info_clear(&info_);
    }
    void encodeReadyBlocks() {
        while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
            vorbis_analysis(&block_, nullptr);
            vorbis_bitrate_addblock(&block_);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&dsp_, &packet) == 1) {
                ogg_stream_packetin(&stream_, &packet);
                ogg_page page;
                while (ogg_stream_pageout(&stream_, &page) != 0) writePage(page);
            }
        }
    }
    void writePage(const ogg_page& page) {
        out_.write(reinterpret_cast<const char*>(page.header), page.header_len);
        out_.write(reinterpret_cast<const char*>(page.body), page.body_len);
    }

    std::filesystem::path path_;
    std::ofstream out_;
    vorbis_info info_{};
    vorbis_comment comment_{};
    vorbis_dsp_state dsp_{};
    vorbis_block block_{};
    ogg_stream_state stream_{};
};

}  // namespace

int main(int argc, char** argv) {
    // With ICONDIR it also writes the desktop icons, ICONDIR/64x64/tumble.png
    // and ICONDIR/128x128/tumble.png, laid out as an icon theme wants them.
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUTDIR [ICONDIR]\n", argc > 0 ? argv[0] : "make_assets");
        return 2;
    }
    try {
        const auto makeDir = [](const std::filesystem::path& dir) {
            std::error_code error;
            std::filesystem::create_directories(dir, error);
            if (error) throw std::runtime_error("can't create " + dir.string() + ": " + error.message());
        };
        const std::filesystem::path dir = argv[1];
        makeDir(dir);
        writePicture(dir / "tavrin.png");
        OggVorbisWriter(dir / "tavrin.ogg").write(composeMusic());
        if (argc == 3) {
            for (int size : {64, 128}) {
                const std::filesystem::path sized = std::filesystem::path(argv[2]) / (std::to_string(size) + "x" + std::to_string(size));
                makeDir(sized);
                writeIcon(sized / "tumble.png", size);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_assets: %s\n", e.what());
        return 1;
    }
    return 0;
}
