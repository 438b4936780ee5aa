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

constexpr double pi = 3.14159265358979323846;

// ---------------------------------------------------------------- picture

struct vec2 {
    double x, y;
};
vec2 operator-(vec2 a, vec2 b) { return {a.x - b.x, a.y - b.y}; }
vec2 operator+(vec2 a, vec2 b) { return {a.x + b.x, a.y + b.y}; }
vec2 operator*(vec2 a, double s) { return {a.x * s, a.y * s}; }
double dot(vec2 a, vec2 b) { return a.x * b.x + a.y * b.y; }
double length(vec2 a) { return std::sqrt(dot(a, a)); }

struct rgb_colour {
    double r, g, b;
};
rgb_colour operator+(rgb_colour a, rgb_colour b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
rgb_colour operator*(rgb_colour a, double s) { return {a.r * s, a.g * s, a.b * s}; }
rgb_colour mix(rgb_colour a, rgb_colour b, double t) { return a * (1 - t) + b * t; }

double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }
double smoothstep(double e0, double e1, double v) {
    const double t = clamp01((v - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}

// Signed distances in pixels, negative inside; a one-pixel ramp across the
// edge gives the anti-aliasing.
double coverage(double distance) { return clamp01(0.5 - distance); }

double circle_distance(vec2 p, vec2 centre, double radius) { return length(p - centre) - radius; }

double rounded_box_distance(vec2 p, vec2 centre, vec2 half, double radius) {
    const vec2 q{std::abs(p.x - centre.x) - half.x + radius, std::abs(p.y - centre.y) - half.y + radius};
    return length({std::max(q.x, 0.0), std::max(q.y, 0.0)}) + std::min(std::max(q.x, q.y), 0.0) - radius;
}

double polygon_distance(vec2 p, const std::vector<vec2>& v) {
    double nearest = dot(p - v[0], p - v[0]);
    double sign = 1;
    for (std::size_t i = 0, j = v.size() - 1; i < v.size(); j = i++) {
        const vec2 e = v[j] - v[i], w = p - v[i];
        const vec2 b = w - e * clamp01(dot(w, e) / dot(e, e));
        nearest = std::min(nearest, dot(b, b));
        const bool c1 = p.y >= v[i].y, c2 = p.y < v[j].y, c3 = e.x * w.y > e.y * w.x;
        if ((c1 && c2 && c3) || (!c1 && !c2 && !c3)) sign = -sign;
    }
    return sign * std::sqrt(nearest);
}

// A round head of radius r1 at the origin tapering to radius r2 at (0, h).
double teardrop_distance(vec2 p, double r1, double r2, double h) {
    p.x = std::abs(p.x);
    const double b = (r1 - r2) / h, a = std::sqrt(1 - b * b), k = dot(p, {-b, a});
    if (k < 0) return length(p) - r1;
    if (k > a * h) return length(p - vec2{0, h}) - r2;
    return dot(p, {a, b}) - r1;
}

vec2 rotated(vec2 p, double angle) {
    const double c = std::cos(angle), s = std::sin(angle);
    return {c * p.x - s * p.y, s * p.x + c * p.y};
}

// The rocket is drawn on a 240x320 board; the picture is the window onto it
// that just holds the rocket. Every frame turns the picture's whole bounding
// box, so black margins would cost drawing time on every frame.
constexpr double axis_x = 120;
constexpr int picture_left = 30, picture_top = 22;
constexpr int picture_width = 180, picture_height = 296;

// The hull is an ogive: the overlap of two large circles, widest at
// hull_widest_y and pointed at the top, cut flat at hull_base_y.
constexpr double hull_radius = 244.04, hull_offset = 194.04;
constexpr double hull_widest_y = 170, hull_base_y = 232;

double hull_half_width(double y) {
    const double dy = y - hull_widest_y;
    return std::sqrt(std::max(hull_radius * hull_radius - dy * dy, 0.0)) - hull_offset;
}
double hull_distance(vec2 p) {
    const double side = length({std::abs(p.x - axis_x) + hull_offset, p.y - hull_widest_y}) - hull_radius;
    return std::max(side, p.y - hull_base_y);
}

// Light from the upper left on a round surface; u runs -1..1 across it.
rgb_colour lit_cylinder(rgb_colour base, double u) {
    u = std::clamp(u, -1.0, 1.0);
    const double facing = std::max(0.0, -0.55 * u + 0.835 * std::sqrt(1 - u * u));
    return base * (0.28 + 0.72 * facing) + rgb_colour{1, 1, 1} * (0.45 * std::pow(facing, 28));
}

// Rings painted around the hull bulge downwards in the middle, as seen from a
// little above.
double ring_edge(vec2 p, double y) {
    const double u = (p.x - axis_x) / std::max(hull_half_width(p.y), 1.0);
    return y + 5 * std::sqrt(std::max(0.0, 1 - u * u)) - p.y;
}

double flame_distance(vec2 p) {
    const vec2 head{axis_x, 262};
    const double middle = teardrop_distance(p - head, 17, 1.5, 46);
    const double left = teardrop_distance(rotated(p - head - vec2{-9, 0}, -0.28), 10, 1, 30);
    const double right = teardrop_distance(rotated(p - head - vec2{9, 0}, 0.28), 10, 1, 30);
    return std::min({middle, left, right});
}

rgb_colour rocket_pixel(vec2 p) {
    const rgb_colour white{0.93, 0.95, 1.0}, red{0.95, 0.24, 0.32}, deep_red{0.62, 0.08, 0.30};
    rgb_colour c{0, 0, 0};
    const auto paint = [&c](double distance, rgb_colour colour) { c = mix(c, colour, coverage(distance)); };

    // A warm glow under the exhaust, faded out well before the picture's edge.
    const double glow = std::max(0.0, 1 - length(p - vec2{axis_x, 276}) / 44);
    c = c + rgb_colour{1.0, 0.45, 0.12} * (0.55 * glow * glow);

    const double flame = flame_distance(p);
    const double along = clamp01((p.y - 250) / 60);
    paint(flame, mix(rgb_colour{1.0, 0.45, 0.1}, rgb_colour{0.85, 0.1, 0.25}, along));
    paint(flame + 5, mix(rgb_colour{1.0, 0.8, 0.2}, rgb_colour{1.0, 0.45, 0.1}, along));
    paint(flame + 10, rgb_colour{1.0, 0.97, 0.75});

    const double nozzle = polygon_distance(p, {{axis_x - 17, 226}, {axis_x + 17, 226}, {axis_x + 22, 252}, {axis_x - 22, 252}}) - 1.5;
    paint(nozzle, lit_cylinder(rgb_colour{0.45, 0.48, 0.58}, (p.x - axis_x) / 22));

    // Fins sit behind the hull; mirror the left one.
    const vec2 mirrored{axis_x - std::abs(p.x - axis_x), p.y};
    const double fin = polygon_distance(mirrored, {{76, 148}, {36, 232}, {34, 262}, {82, 226}}) - 3;
    paint(fin, mix(red, deep_red, smoothstep(150, 262, p.y)) * (0.8 + 0.2 * smoothstep(80, 40, mirrored.x)));

    const double hull = hull_distance(p);
    const double across = (p.x - axis_x) / std::max(hull_half_width(p.y), 1.0);
    const double in_nose = coverage(-ring_edge(p, 78));
    const double in_stripe = coverage(ring_edge(p, 200)) * coverage(-ring_edge(p, 210));
    paint(hull, lit_cylinder(mix(white, red, std::max(in_nose, in_stripe)), across));

    const vec2 window{axis_x, 128};
    paint(circle_distance(p, window, 25), lit_cylinder(rgb_colour{0.72, 0.75, 0.85}, (p.x - window.x) / 25));
    const double glass_shade = smoothstep(-26, 22, (p.x - window.x) + (p.y - window.y));
    paint(circle_distance(p, window, 19), mix(rgb_colour{0.35, 0.85, 1.0}, rgb_colour{0.08, 0.18, 0.5}, glass_shade));
    c = mix(c, rgb_colour{1, 1, 1}, 0.85 * coverage(circle_distance(p, window - vec2{7, 7}, 5.5)));
    c = mix(c, rgb_colour{1, 1, 1}, 0.6 * coverage(circle_distance(p, window + vec2{7, 8}, 2.2)));

    const double keel = rounded_box_distance(p, {axis_x, 224}, {5.5, 22}, 4);
    paint(keel, lit_cylinder(mix(red, deep_red, smoothstep(202, 246, p.y)), (p.x - axis_x) / 5.5));
    return c;
}

void write_png(const std::filesystem::path& path, int width, int height, png_uint_32 format,
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

void write_picture(const std::filesystem::path& path) {
    std::vector<std::uint8_t> rgb;
    rgb.reserve(std::size_t{picture_width} * picture_height * 3);
    for (int y = 0; y < picture_height; ++y) {
        for (int x = 0; x < picture_width; ++x) {
            const rgb_colour c = rocket_pixel({picture_left + x + 0.5, picture_top + y + 0.5});
            for (double channel : {c.r, c.g, c.b})
                rgb.push_back(static_cast<std::uint8_t>(std::lround(clamp01(channel) * 255)));
        }
    }
    write_png(path, picture_width, picture_height, PNG_FORMAT_RGB, rgb);
}

// The icon is the rocket alone on a transparent square around it. The rocket
// is painted on black, so where it covers a pixel partly its colour is
// premultiplied by that coverage; dividing by the coverage gives the colour
// back, and the glow, which belongs to the black, is left out.
double rocket_coverage(vec2 p) {
    const vec2 mirrored{axis_x - std::abs(p.x - axis_x), p.y};
    const double nozzle = polygon_distance(p, {{axis_x - 17, 226}, {axis_x + 17, 226}, {axis_x + 22, 252}, {axis_x - 22, 252}}) - 1.5;
    const double fin = polygon_distance(mirrored, {{76, 148}, {36, 232}, {34, 262}, {82, 226}}) - 3;
    return coverage(std::min({flame_distance(p), nozzle, fin, hull_distance(p)}));
}

void write_icon(const std::filesystem::path& path, int size) {
    // A square a little taller than the rocket, centred on it.
    constexpr double square_side = picture_height + 16;
    const vec2 corner{axis_x - square_side / 2, picture_top + picture_height / 2.0 - square_side / 2};
    constexpr int samples = 8;  // per axis, per icon pixel
    const double step = square_side / size / samples;
    std::vector<std::uint8_t> rgba;
    rgba.reserve(std::size_t(size) * size * 4);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            rgb_colour sum{0, 0, 0};
            double alpha = 0;
            for (int sy = 0; sy < samples; ++sy) {
                for (int sx = 0; sx < samples; ++sx) {
                    const vec2 p = corner + vec2{(x * samples + sx + 0.5) * step, (y * samples + sy + 0.5) * step};
                    const double a = rocket_coverage(p);
                    if (a <= 0) continue;
                    const rgb_colour c = rocket_pixel(p);
                    sum = sum + rgb_colour{std::min(c.r, a), std::min(c.g, a), std::min(c.b, a)};
                    alpha += a;
                }
            }
            const double straight = alpha > 0 ? 1 / alpha : 0;
            for (double channel : {sum.r * straight, sum.g * straight, sum.b * straight, alpha / (samples * samples)})
                rgba.push_back(static_cast<std::uint8_t>(std::lround(clamp01(channel) * 255)));
        }
    }
    write_png(path, size, size, PNG_FORMAT_RGBA, rgba);
}

// ------------------------------------------------------------------ music

constexpr int sample_rate = 22050;
constexpr double seconds_per_beat = 60.0 / 96;
constexpr int beats_per_bar = 4;
constexpr int bars = 8;
constexpr auto loop_frames = static_cast<std::size_t>(bars * beats_per_bar * seconds_per_beat * sample_rate);
static_assert(loop_frames * 1.0 == bars * beats_per_bar * seconds_per_beat * sample_rate,
              "the loop must be a whole number of frames");

// The piece is periodic: whatever rings past the end is mixed in at the
// start, so the loop point has no seam.
struct stereo_loop {
    std::vector<float> left = std::vector<float>(loop_frames), right = std::vector<float>(loop_frames);
    void add(std::size_t frame, double l, double r) {
        left[frame % loop_frames] += static_cast<float>(l);
        right[frame % loop_frames] += static_cast<float>(r);
    }
};

struct score_note {
    double beat, beats;
    int key;  // MIDI note number
};

double key_to_hz(int key) { return 440 * std::pow(2.0, (key - 69) / 12.0); }

struct adsr_envelope {
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
template <typename voice_fn>
void play_note(stereo_loop& loop, const score_note& note, const adsr_envelope& envelope, double pan, double gain,
               voice_fn voice) {
    const double held = note.beats * seconds_per_beat, hz = key_to_hz(note.key);
    const auto start = static_cast<std::size_t>(std::lround(note.beat * seconds_per_beat * sample_rate));
    const auto frames = static_cast<std::size_t>((held + envelope.release) * sample_rate);
    const double l = gain * std::cos((pan + 1) * pi / 4), r = gain * std::sin((pan + 1) * pi / 4);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / sample_rate;
        const double v = envelope.level(t, held) * voice(t, hz);
        loop.add(start + i, v * l, v * r);
    }
}

double sine(double t, double hz) { return std::sin(2 * pi * hz * t); }

// A minor: Am F C G | Am F G E, the E major turning back to the top.
const std::vector<std::vector<int>> chords = {{57, 60, 64}, {57, 60, 65}, {55, 60, 64}, {55, 59, 62},
                                               {57, 60, 64}, {57, 60, 65}, {55, 59, 62}, {56, 59, 64}};
const std::vector<int> bass_roots = {45, 41, 48, 43, 45, 41, 43, 40};
const std::vector<score_note> melody = {
    {0, 1.5, 76},  {1.5, 0.5, 74}, {2, 1, 72},     {3, 1, 69},      {4, 0.5, 69},  {4.5, 1, 72},
    {5.5, 1.5, 77}, {7, 1, 76},    {8, 1.5, 79},   {9.5, 0.5, 76},  {10, 1, 72},   {11, 1, 76},
    {12, 2, 74},   {14, 1, 71},    {15, 1, 74},    {16, 1.5, 76},   {17.5, 0.5, 74}, {18, 1, 72},
    {19, 0.5, 69}, {19.5, 0.5, 72}, {20, 1.5, 77}, {21.5, 0.5, 76}, {22, 1, 72},   {23, 1, 69},
    {24, 1, 71},   {25, 1, 74},    {26, 1.5, 79},  {27.5, 0.5, 77}, {28, 1.5, 76}, {29.5, 0.5, 74},
    {30, 1, 71},   {31, 1, 68}};

void add_pad(stereo_loop& loop) {
    const adsr_envelope swell{0.4, 0.8, 0.75, 0.9};
    for (int bar = 0; bar < bars; ++bar) {
        for (int key : chords[bar]) {
            const score_note note{double(bar * beats_per_bar), double(beats_per_bar), key};
            // Slightly detuned partials per side make the chord wide.
            for (double side : {-1.0, 1.0}) {
                play_note(loop, note, swell, side, 0.07, [side](double t, double hz) {
                    double v = 0;
                    for (int n = 1; n <= 6; ++n) v += sine(t, n * hz * (1 + side * 0.0025)) / n;
                    return v;
                });
            }
        }
    }
}

void add_bass(stereo_loop& loop) {
    const adsr_envelope pluck{0.005, 0.3, 0.5, 0.12};
    const std::vector<score_note> pattern = {{0, 1.25, 0}, {1.5, 0.5, 0}, {2, 1, 7}, {3, 0.5, 12}, {3.5, 0.5, 7}};
    for (int bar = 0; bar < bars; ++bar) {
        for (const score_note& step : pattern) {
            const score_note note{bar * beats_per_bar + step.beat, step.beats, bass_roots[bar] + step.key};
            play_note(loop, note, pluck, 0, 0.45, [](double t, double hz) {
                const double brightness = 1.5 * std::exp(-t * 8);
                return std::sin(2 * pi * hz * t + brightness * sine(t, hz));
            });
        }
    }
}

// The lead is an FM electric piano with a ping-pong echo, a dotted eighth apart.
void add_lead(stereo_loop& loop) {
    stereo_loop dry;
    const adsr_envelope keys{0.008, 0.5, 0.45, 0.3};
    for (const score_note& note : melody) {
        play_note(dry, note, keys, 0.15, 0.34, [](double t, double hz) {
            const double index = 0.6 + 1.8 * std::exp(-t * 5);
            const double vibrato = 0.003 * std::sin(2 * pi * 5.5 * t) * std::min(1.0, t * 2);
            return std::sin(2 * pi * hz * (1 + vibrato) * t + index * sine(t, hz));
        });
    }
    const auto delay = static_cast<std::size_t>(std::lround(0.75 * seconds_per_beat * sample_rate));
    for (std::size_t i = 0; i < loop_frames; ++i) {
        loop.add(i, dry.left[i], dry.right[i]);
        const double mono = 0.5 * (dry.left[i] + dry.right[i]);
        loop.add(i + delay, 0.35 * mono, 0.05 * mono);
        loop.add(i + 2 * delay, 0.05 * mono, 0.22 * mono);
        loop.add(i + 3 * delay, 0.12 * mono, 0.02 * mono);
    }
}

void add_drums(stereo_loop& loop) {
    std::uint32_t noise = 0x1234567u;  // xorshift32, fixed seed
    const auto next_noise = [&noise] {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        return noise / 2147483648.0 - 1;
    };
    const auto frame_of = [](double beat) { return static_cast<std::size_t>(std::lround(beat * seconds_per_beat * sample_rate)); };
    for (int beat = 0; beat < bars * beats_per_bar; ++beat) {
        if (beat % 2 == 0) {  // soft kick: a sine falling in pitch
            double phase = 0;
            for (std::size_t i = 0; i < sample_rate / 4; ++i) {
                const double t = static_cast<double>(i) / sample_rate;
                phase += 2 * pi * (45 + 75 * std::exp(-t * 30)) / sample_rate;
                const double v = 0.45 * std::exp(-t * 14) * std::sin(phase);
                loop.add(frame_of(beat) + i, v, v);
            }
        }
        for (double offset : {0.0, 0.5}) {  // hi-hat ticks on the eighths, the off-beats louder
            const double gain = offset > 0 ? 0.09 : 0.05;
            double previous = 0;
            for (std::size_t i = 0; i < sample_rate / 16; ++i) {
                const double t = static_cast<double>(i) / sample_rate, white = next_noise();
                const double v = gain * std::exp(-t * 70) * (white - previous);  // differencing keeps it bright
                previous = white;
                loop.add(frame_of(beat + offset) + i, 0.8 * v, 0.5 * v);
            }
        }
    }
}

stereo_loop compose_music() {
    stereo_loop loop;
    add_pad(loop);
    add_bass(loop);
    add_lead(loop);
    add_drums(loop);
    float peak = 0;
    for (const auto* channel : {&loop.left, &loop.right})
        for (float v : *channel) peak = std::max(peak, std::abs(v));
    const float to_minus_3db = 0.7079f / peak;
    for (auto* channel : {&loop.left, &loop.right})
        for (float& v : *channel) v *= to_minus_3db;
    return loop;
}

class ogg_vorbis_writer {
public:
    explicit ogg_vorbis_writer(const std::filesystem::path& path) : path_(path), out_(path, std::ios::binary) {
        if (!out_) throw std::runtime_error("can't create " + path.string());
        vorbis_info_init(&info_);
        vorbis_comment_init(&comment_);
        if (vorbis_encode_init_vbr(&info_, 2, sample_rate, 0.2f) != 0) {
            clear_info();
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
        while (ogg_stream_flush(&stream_, &page) != 0) write_page(page);
    }
    ~ogg_vorbis_writer() {
        ogg_stream_clear(&stream_);
        vorbis_block_clear(&block_);
        vorbis_dsp_clear(&dsp_);
        clear_info();
    }
    ogg_vorbis_writer(const ogg_vorbis_writer&) = delete;
    ogg_vorbis_writer& operator=(const ogg_vorbis_writer&) = delete;

    void write(const stereo_loop& loop) {
        constexpr std::size_t chunk = 1024;
        for (std::size_t at = 0; at < loop_frames; at += chunk) {
            const std::size_t n = std::min(chunk, loop_frames - at);
            float** buffer = vorbis_analysis_buffer(&dsp_, static_cast<int>(n));
            std::copy_n(loop.left.begin() + at, n, buffer[0]);
            std::copy_n(loop.right.begin() + at, n, buffer[1]);
            vorbis_analysis_wrote(&dsp_, static_cast<int>(n));
            encode_ready_blocks();
        }
        vorbis_analysis_wrote(&dsp_, 0);
        encode_ready_blocks();
        out_.flush();
        if (!out_) throw std::runtime_error("can't write " + path_.string());
    }

private:
    void clear_info() {
        vorbis_comment_clear(&comment_);
        vorbis_info_clear(&info_);
    }
    void encode_ready_blocks() {
        while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
            vorbis_analysis(&block_, nullptr);
            vorbis_bitrate_addblock(&block_);
            ogg_packet packet;
            while (vorbis_bitrate_flushpacket(&dsp_, &packet) == 1) {
                ogg_stream_packetin(&stream_, &packet);
                ogg_page page;
                while (ogg_stream_pageout(&stream_, &page) != 0) write_page(page);
            }
        }
    }
    void write_page(const ogg_page& page) {
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
        const auto make_dir = [](const std::filesystem::path& dir) {
            std::error_code error;
            std::filesystem::create_directories(dir, error);
            if (error) throw std::runtime_error("can't create " + dir.string() + ": " + error.message());
        };
        const std::filesystem::path dir = argv[1];
        make_dir(dir);
        write_picture(dir / "tavrin.png");
        ogg_vorbis_writer(dir / "tavrin.ogg").write(compose_music());
        if (argc == 3) {
            for (int size : {64, 128}) {
                const std::filesystem::path sized = std::filesystem::path(argv[2]) / (std::to_string(size) + "x" + std::to_string(size));
                make_dir(sized);
                write_icon(sized / "tumble.png", size);
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_assets: %s\n", e.what());
        return 1;
    }
    return 0;
}
