/* tumble_shim: preloaded into tumble (LD_PRELOAD) by the tests and the benchmark.
 *
 * It interposes the library calls tumble makes (dlsym(RTLD_NEXT, ...)) and logs,
 * and optionally changes, only those made by tumble's own code: on the main
 * thread and returning into the executable. Calls from inside the libraries
 * (SDL_image opening its file, the audio thread's SDL_Delay, ...) pass through
 * untouched, so the log is what the program itself asked for.
 *
 * Environment (all optional):
 *   TUMBLE_SHIM_LOG=PATH     append one line per call to PATH (format below)
 *   TUMBLE_SHIM_CALLS=A,B    log only these calls (and the start/end/rss lines)
 *   TUMBLE_SHIM_NODELAY=1    SDL_Delay returns at once (still logged)
 *   TUMBLE_SHIM_EVENTS=LIST  events handed to tumble's SDL_PollEvent ahead of the
 *                            real ones, items "FRAME:TYPE[:ARG][*COUNT]", comma-
 *                            separated, delivered in the order given once the
 *                            frame count reaches FRAME. TYPE is a number or one of
 *                            active keydown keyup motion buttondown buttonup
 *                            joyaxis joyball joyhat joybuttondown joybuttonup quit
 *                            syswm resize expose user. ARG: keysym for keys
 *                            (default 32, space), button (default 1), gain for
 *                            active (default 1), x=y for motion, w=h for resize,
 *                            code for user.
 *   TUMBLE_SHIM_FAIL=LIST    calls that fail, items "NAME" (always), "NAME@N" (on
 *                            frame N), "NAME@N-" (from frame N on), "NAME@N-M".
 *                            A failing call returns its failure value without
 *                            calling the library and sets the SDL error text
 *                            "injected NAME failure".
 *   TUMBLE_SHIM_RSS=N        log resident memory every N frames
 *
 * Frames count tumble's SDL_Flip calls: frame N ends with the (N+1)-th flip.
 * Injected events and failures "at frame N" apply while N flips have been
 * made. Log lines, each tagged with the frame it belongs to (the wait and
 * the shutdown after a flip, up to the next SDL_PollEvent, belong to the
 * flipped frame):
 *   NAME FRAME START_NS DUR_NS [key=value ...] [-> key=value ...]
 * START_NS is CLOCK_MONOTONIC, DUR_NS the time spent in the call; the pairs
 * before "->" are arguments, those after it results. Surfaces appear as
 * "screen", "s1", "s2", ... (numbered as tumble receives them) or "null";
 * strings are quoted, with blanks replaced by '?'. Extra lines: "start" (at
 * load: pid, sdl=resolved path of libSDL, version=what SDL_Linked_Version
 * reports), "rss" (kb=VmRSS), "signal" (sig=N, on a fatal signal), "end" (at
 * process exit). SDL_Quit's line (with hwm_kb and rss_kb) is written and
 * flushed before the library shuts down, DUR_NS 0.
 */
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_mixer.h>
#include <SDL_rotozoom.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { INIT, SETVIDEOMODE, SHOWCURSOR, RAND, IMGLOAD, IMGLOADPNG, IMGISPNG, RWFROMFILE,
       DISPLAYFORMAT, OPENAUDIO, ALLOCCHANNELS, LOADWAV, PLAYCHANNEL, POLLEVENT, MAPRGB,
       FILLRECT, ROTOZOOM, BLIT, FREESURFACE, FLIP, DELAY, QUITSUBSYSTEM, QUIT, FFLUSH, NCALLS };
static const char *names[NCALLS] = {
    "SDL_Init", "SDL_SetVideoMode", "SDL_ShowCursor", "rand", "IMG_Load", "IMG_LoadPNG_RW", "IMG_isPNG",
    "SDL_RWFromFile", "SDL_DisplayFormat", "Mix_OpenAudio", "Mix_AllocateChannels", "Mix_LoadWAV_RW",
    "Mix_PlayChannelTimed", "SDL_PollEvent", "SDL_MapRGB", "SDL_FillRect", "rotozoomSurface", "SDL_UpperBlit",
    "SDL_FreeSurface", "SDL_Flip", "SDL_Delay", "SDL_QuitSubSystem", "SDL_Quit", "fflush"};
static int logged[NCALLS];
static long fail_from[NCALLS], fail_to[NCALLS];

static long frame;
static int after_flip; /* set by a flip: the wait and SDL_Quit after it are tagged with the flipped frame */
static int log_fd = -1, nodelay, rss_every;
static char buf[1 << 16];
static size_t buf_len;
static uintptr_t exe_lo[8], exe_hi[8];
static int exe_ranges;
static SDL_Surface *screen;

struct inject { long frame; int type, arg; long count; };
static struct inject *events;
static int n_events, next_event;

#define REAL(fn) static __typeof__(fn) *real_##fn; \
    if (!real_##fn) real_##fn = (__typeof__(fn) *)dlsym(RTLD_NEXT, #fn)
/* Only in the interposer itself does the return address name tumble's call site. */
#define OURS() (on_main_thread() && in_exe((uintptr_t)__builtin_return_address(0)))

static int on_main_thread(void)
{
    static __thread int main_thread = -1;
    if (main_thread < 0) main_thread = gettid() == getpid();
    return main_thread;
}

static int in_exe(uintptr_t a)
{
    for (int i = 0; i < exe_ranges; i++)
        if (a >= exe_lo[i] && a < exe_hi[i]) return 1;
    return 0;
}

static uint64_t now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void flush_log(void)
{
    size_t done = 0;
    while (log_fd >= 0 && done < buf_len) {
        ssize_t n = write(log_fd, buf + done, buf_len - done);
        if (n <= 0) break;
        done += (size_t)n;
    }
    buf_len = 0;
}

static void out(const char *name, uint64_t t0, uint64_t dur, const char *fmt, ...)
{
    if (log_fd < 0) return;
    if (buf_len > sizeof buf - 1024) flush_log();
    buf_len += (size_t)snprintf(buf + buf_len, sizeof buf - buf_len, "%s %ld %llu %llu", name, frame - after_flip,
                                (unsigned long long)t0, (unsigned long long)dur);
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + buf_len, sizeof buf - buf_len - 1, fmt, ap);
    va_end(ap);
    if (n > 0) buf_len += (size_t)n < sizeof buf - buf_len - 1 ? (size_t)n : sizeof buf - buf_len - 2;
    buf[buf_len++] = '\n';
}

#define LOG(id, t0, ...) do { uint64_t t1_ = now(); \
    if (logged[id]) out(names[id], t0, t1_ - (t0), __VA_ARGS__); } while (0)

static int failing(int id)
{
    if (frame < fail_from[id] || frame > fail_to[id]) return 0;
    char msg[64];
    snprintf(msg, sizeof msg, "injected %s failure", names[id]);
    REAL(SDL_SetError);
    real_SDL_SetError("%s", msg);
    return 1;
}

/* Surfaces get small numbers in the order tumble receives them, so two runs
 * give the same log and a free can be matched to its surface. */
static struct { SDL_Surface *s; unsigned id; } surfs[64];
static unsigned surf_count;

static void add_surface(SDL_Surface *s)
{
    if (!s) return;
    int slot = 0; /* a free slot, else the one next in turn */
    while (slot < 64 && surfs[slot].s) slot++;
    if (slot == 64) slot = (int)(surf_count % 64);
    surfs[slot].s = s;
    surfs[slot].id = ++surf_count;
}

static const char *sid(SDL_Surface *s)
{
    static char text[4][24];
    static int next;
    char *n = text[next++ % 4];
    if (!s) return "null";
    if (s == screen) return "screen";
    for (int i = 0; i < 64; i++)
        if (surfs[i].s == s) { snprintf(n, 24, "s%u", surfs[i].id); return n; }
    return "unknown";
}

static const char *quoted(const char *s)
{
    static char q[2][PATH_MAX + 3];
    static int next;
    char *o = q[next++ % 2], *p = o;
    if (!s) return "null";
    *p++ = '"';
    for (; *s && p < o + PATH_MAX; s++) *p++ = (*s <= ' ' || *s == '"') ? '?' : *s;
    *p++ = '"';
    *p = 0;
    return o;
}

static long status_kb(const char *key)
{
    char line[256];
    long kb = -1;
    FILE *f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    while (fgets(line, sizeof line, f))
        if (!strncmp(line, key, strlen(key))) { kb = atol(line + strlen(key)); break; }
    fclose(f);
    return kb;
}

static const char *event_names[] = {"", "active", "keydown", "keyup", "motion", "buttondown",
    "buttonup", "joyaxis", "joyball", "joyhat", "joybuttondown", "joybuttonup", "quit", "syswm",
    "", "", "resize", "expose", "", "", "", "", "", "", "user"};

static void parse_events(const char *list)
{
    char *copy = strdup(list), *save = NULL;
    for (char *item = strtok_r(copy, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        struct inject e = {0, -1, -1, 1};
        char type[32] = "";
        char *star = strchr(item, '*');
        if (star) { e.count = atol(star + 1); *star = 0; }
        if (sscanf(item, "%ld:%31[^:]:%d", &e.frame, type, &e.arg) < 2) goto bad;
        for (int t = 1; t < (int)(sizeof event_names / sizeof *event_names); t++)
            if (*event_names[t] && !strcmp(type, event_names[t])) e.type = t;
        if (e.type < 0 && (e.type = atoi(type)) <= 0) goto bad;
        /* Keep the order given: insert after every item of an earlier or equal frame. */
        events = realloc(events, sizeof *events * (size_t)(n_events + 1));
        int at = n_events;
        while (at > 0 && events[at - 1].frame > e.frame) { events[at] = events[at - 1]; at--; }
        events[at] = e;
        n_events++;
        continue;
    bad:
        fprintf(stderr, "tumble_shim: bad event \"%s\"\n", item);
        _exit(98);
    }
    free(copy);
}

static void fill_event(SDL_Event *ev, const struct inject *e)
{
    memset(ev, 0, sizeof *ev);
    ev->type = (Uint8)e->type;
    switch (e->type) {
    case SDL_ACTIVEEVENT: ev->active.gain = e->arg < 0 ? 1 : e->arg; ev->active.state = SDL_APPINPUTFOCUS; break;
    case SDL_KEYDOWN: case SDL_KEYUP:
        ev->key.state = e->type == SDL_KEYDOWN ? SDL_PRESSED : SDL_RELEASED;
        ev->key.keysym.sym = (SDLKey)(e->arg < 0 ? SDLK_SPACE : e->arg);
        break;
    case SDL_MOUSEMOTION: ev->motion.x = ev->motion.y = (Uint16)(e->arg < 0 ? 0 : e->arg); ev->motion.xrel = 1; break;
    case SDL_MOUSEBUTTONDOWN: case SDL_MOUSEBUTTONUP:
        ev->button.state = e->type == SDL_MOUSEBUTTONDOWN ? SDL_PRESSED : SDL_RELEASED;
        ev->button.button = (Uint8)(e->arg < 0 ? 1 : e->arg);
        break;
    case SDL_VIDEORESIZE: ev->resize.w = ev->resize.h = e->arg < 0 ? 100 : e->arg; break;
    case SDL_USEREVENT: ev->user.code = e->arg < 0 ? 0 : e->arg; break;
    }
}

static void parse_fail(const char *list)
{
    char *copy = strdup(list), *save = NULL;
    for (char *item = strtok_r(copy, ",", &save); item; item = strtok_r(NULL, ",", &save)) {
        long from = 0, to = LONG_MAX;
        char *at = strchr(item, '@');
        if (at) {
            char *end;
            *at = 0;
            from = to = strtol(at + 1, &end, 10);
            if (*end == '-') to = end[1] ? strtol(end + 1, NULL, 10) : LONG_MAX;
        }
        int id = 0;
        while (id < NCALLS && strcmp(names[id], item)) id++;
        if (id == NCALLS || id == RAND || id == POLLEVENT || id == DELAY || id == QUITSUBSYSTEM || id == QUIT ||
            id == FFLUSH || id == SHOWCURSOR || id == MAPRGB || id == FREESURFACE) {
            fprintf(stderr, "tumble_shim: cannot fail \"%s\"\n", item);
            _exit(98);
        }
        fail_from[id] = from;
        fail_to[id] = to;
    }
    free(copy);
}

static struct sigaction old_actions[NSIG];

static void on_signal(int sig, siginfo_t *info, void *ctx)
{
    (void)ctx;
    out("signal", now(), 0, " sig=%d", sig);
    flush_log();
    sigaction(sig, &old_actions[sig], NULL);
    /* A real fault happens again on return and reaches the old handler with its
     * own details; anything else is raised again. */
    if (!(info && info->si_code > 0 && sig != SIGTERM && sig != SIGINT && sig != SIGABRT)) raise(sig);
}

static int find_exe(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size; (void)data;
    for (int i = 0; i < info->dlpi_phnum && exe_ranges < 8; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            exe_lo[exe_ranges] = info->dlpi_addr + ph->p_vaddr;
            exe_hi[exe_ranges++] = info->dlpi_addr + ph->p_vaddr + ph->p_memsz;
        }
    }
    return 1; /* the executable comes first; stop there */
}

__attribute__((constructor)) static void shim_start(void)
{
    const char *s;
    /* A process without SDL is a wrapper on the way to tumble (a shell,
     * valgrind's launcher): it is left alone and logs nothing. */
    void *init = dlsym(RTLD_NEXT, "SDL_Init");
    if (!init) return;
    dl_iterate_phdr(find_exe, NULL);
    for (int i = 0; i < NCALLS; i++) { logged[i] = 1; fail_from[i] = LONG_MAX; fail_to[i] = -1; }
    if ((s = getenv("TUMBLE_SHIM_CALLS")) && *s)
        for (int i = 0; i < NCALLS; i++) {
            size_t n = strlen(names[i]);
            const char *p = s;
            logged[i] = 0;
            while ((p = strstr(p, names[i]))) {
                if ((p == s || p[-1] == ',') && (p[n] == ',' || !p[n])) { logged[i] = 1; break; }
                p += n;
            }
        }
    if ((s = getenv("TUMBLE_SHIM_FAIL"))) parse_fail(s);
    if ((s = getenv("TUMBLE_SHIM_EVENTS"))) parse_events(s);
    nodelay = (s = getenv("TUMBLE_SHIM_NODELAY")) && *s && strcmp(s, "0");
    rss_every = (s = getenv("TUMBLE_SHIM_RSS")) ? atoi(s) : 0;
    if ((s = getenv("TUMBLE_SHIM_LOG")) && *s) {
        /* Never on a standard descriptor that tumble was started without. */
        int fd = open(s, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        log_fd = fd >= 0 && fd < 3 ? fcntl(fd, F_DUPFD_CLOEXEC, 3) : fd;
        if (log_fd != fd)
            close(fd);
    }

    Dl_info info;
    char sdl[PATH_MAX] = "unknown";
    if (dladdr(init, &info) && info.dli_fname && !realpath(info.dli_fname, sdl))
        snprintf(sdl, sizeof sdl, "%s", info.dli_fname);
    /* The version the library reports tells the implementations apart: 1.2.15
     * is the classic one, 1.2.50 and later sdl12-compat. */
    const SDL_version *(*linked)(void) = (const SDL_version *(*)(void))dlsym(RTLD_NEXT, "SDL_Linked_Version");
    const SDL_version *v = linked ? linked() : NULL;
    out("start", now(), 0, " pid=%d sdl=%s version=%d.%d.%d", (int)getpid(), quoted(sdl),
        v ? v->major : 0, v ? v->minor : 0, v ? v->patch : 0);
    flush_log();

    static const int fatal[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTERM, SIGINT};
    for (size_t i = 0; i < sizeof fatal / sizeof *fatal; i++) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = on_signal;
        sa.sa_flags = SA_SIGINFO;
        sigaction(fatal[i], &sa, &old_actions[fatal[i]]);
    }
}

__attribute__((destructor)) static void shim_end(void)
{
    out("end", now(), 0, "");
    flush_log();
}

/* ---- the interposed calls ---- */

/* The common shape: other callers pass straight through; tumble's call may be
 * made to fail, then runs, then `then` notes its result and the line is logged. */
#define INTERPOSE(type, fn, id, failed, params, args, then, fmt, ...) \
    type fn params \
    { \
        REAL(fn); \
        if (!OURS()) return real_##fn args; \
        uint64_t t0 = now(); \
        type r = failing(id) ? (failed) : real_##fn args; \
        then; \
        LOG(id, t0, fmt, __VA_ARGS__); \
        return r; \
    }
#define SURFACE " -> s=%s w=%d h=%d"
#define SURFACE_OF(s) sid(s), (s) ? (s)->w : 0, (s) ? (s)->h : 0
#define SET(p) ((p) ? "set" : "null")

INTERPOSE(int, SDL_Init, INIT, -1, (Uint32 flags), (flags), , " flags=0x%x -> r=%d", flags, r)
INTERPOSE(SDL_Surface *, SDL_SetVideoMode, SETVIDEOMODE, NULL, (int w, int h, int bpp, Uint32 flags),
          (w, h, bpp, flags), if (r) screen = r, " w=%d h=%d bpp=%d flags=0x%x" SURFACE " bpp=%d",
          w, h, bpp, flags, SURFACE_OF(r), r ? r->format->BitsPerPixel : 0)
INTERPOSE(int, SDL_ShowCursor, SHOWCURSOR, 0, (int toggle), (toggle), , " toggle=%d -> r=%d", toggle, r)
INTERPOSE(int, rand, RAND, 0, (void), (), , " -> r=%d", r)
INTERPOSE(SDL_RWops *, SDL_RWFromFile, RWFROMFILE, NULL, (const char *file, const char *mode), (file, mode), ,
          " file=%s mode=%s -> rw=%s", quoted(file), quoted(mode), SET(r))
INTERPOSE(int, IMG_isPNG, IMGISPNG, 0, (SDL_RWops *src), (src), , " src=%s -> r=%d", SET(src), r)
INTERPOSE(SDL_Surface *, IMG_Load, IMGLOAD, NULL, (const char *file), (file), add_surface(r),
          " file=%s" SURFACE, quoted(file), SURFACE_OF(r))
INTERPOSE(SDL_Surface *, IMG_LoadPNG_RW, IMGLOADPNG, NULL, (SDL_RWops *src), (src), add_surface(r),
          " src=%s" SURFACE, SET(src), SURFACE_OF(r))
INTERPOSE(SDL_Surface *, SDL_DisplayFormat, DISPLAYFORMAT, NULL, (SDL_Surface *src), (src), add_surface(r),
          " src=%s" SURFACE, sid(src), SURFACE_OF(r))
INTERPOSE(int, Mix_OpenAudio, OPENAUDIO, -1, (int freq, Uint16 format, int channels, int chunksize),
          (freq, format, channels, chunksize), , " freq=%d format=0x%x channels=%d chunksize=%d -> r=%d",
          freq, format, channels, chunksize, r)
INTERPOSE(int, Mix_AllocateChannels, ALLOCCHANNELS, 0, (int n), (n), , " n=%d -> r=%d", n, r)
INTERPOSE(int, Mix_PlayChannelTimed, PLAYCHANNEL, -1, (int channel, Mix_Chunk *chunk, int loops, int ticks),
          (channel, chunk, loops, ticks), , " channel=%d chunk=%s loops=%d ticks=%d -> r=%d",
          channel, SET(chunk), loops, ticks, r)
INTERPOSE(Uint32, SDL_MapRGB, MAPRGB, 0, (const SDL_PixelFormat *const fmt, const Uint8 red, const Uint8 green,
          const Uint8 blue), (fmt, red, green, blue), , " fmt=%s r=%d g=%d b=%d -> v=0x%x",
          screen && fmt == screen->format ? "screen" : "other", red, green, blue, r)
INTERPOSE(SDL_Surface *, rotozoomSurface, ROTOZOOM, NULL, (SDL_Surface *src, double angle, double zoom, int smooth),
          (src, angle, zoom, smooth), add_surface(r), " src=%s angle=%.17g zoom=%.17g smooth=%d" SURFACE,
          sid(src), angle, zoom, smooth, SURFACE_OF(r))
INTERPOSE(int, fflush, FFLUSH, EOF, (FILE *f), (f), , " stream=%s -> r=%d",
          f == stderr ? "stderr" : f == stdout ? "stdout" : f ? "other" : "all", r)

Mix_Chunk *Mix_LoadWAV_RW(SDL_RWops *src, int freesrc)
{
    REAL(Mix_LoadWAV_RW);
    if (!OURS()) return real_Mix_LoadWAV_RW(src, freesrc);
    uint64_t t0 = now();
    Mix_Chunk *c = NULL;
    if (!failing(LOADWAV))
        c = real_Mix_LoadWAV_RW(src, freesrc);
    else if (src && freesrc)
        SDL_RWclose(src); /* as the library does when it fails */
    LOG(LOADWAV, t0, " src=%s freesrc=%d -> chunk=%s", SET(src), freesrc, SET(c));
    return c;
}

int SDL_PollEvent(SDL_Event *ev)
{
    REAL(SDL_PollEvent);
    if (!OURS()) return real_SDL_PollEvent(ev);
    uint64_t t0 = now();
    after_flip = 0;
    int injected = next_event < n_events && events[next_event].frame <= frame, r = 1;
    if (!injected)
        r = real_SDL_PollEvent(ev);
    else if (ev) {
        fill_event(ev, &events[next_event]);
        if (--events[next_event].count <= 0) next_event++;
    }
    if (!r || !ev) {
        LOG(POLLEVENT, t0, " -> r=%d", r);
        return r;
    }
    int detail = ev->type == SDL_KEYDOWN || ev->type == SDL_KEYUP ? (int)ev->key.keysym.sym
               : ev->type == SDL_MOUSEBUTTONDOWN || ev->type == SDL_MOUSEBUTTONUP ? ev->button.button : -1;
    LOG(POLLEVENT, t0, " -> r=1 type=%d detail=%d inj=%d", ev->type, detail, injected);
    return r;
}

/* Rectangles are logged as passed in: the library clips them in place. */
static const char *rect_text(char *out, const SDL_Rect *rect)
{
    if (!rect) return "rect=null";
    snprintf(out, 64, "x=%d y=%d w=%d h=%d", rect->x, rect->y, rect->w, rect->h);
    return out;
}

int SDL_FillRect(SDL_Surface *dst, SDL_Rect *rect, Uint32 color)
{
    REAL(SDL_FillRect);
    if (!OURS()) return real_SDL_FillRect(dst, rect, color);
    uint64_t t0 = now();
    char text[64];
    const char *in = rect_text(text, rect);
    int r = failing(FILLRECT) ? -1 : real_SDL_FillRect(dst, rect, color);
    LOG(FILLRECT, t0, " dst=%s %s color=0x%x -> r=%d", sid(dst), in, color, r);
    return r;
}

int SDL_UpperBlit(SDL_Surface *src, SDL_Rect *srcrect, SDL_Surface *dst, SDL_Rect *dstrect)
{
    REAL(SDL_UpperBlit);
    if (!OURS()) return real_SDL_UpperBlit(src, srcrect, dst, dstrect);
    uint64_t t0 = now();
    char text[64];
    const char *in = rect_text(text, dstrect);
    int r = failing(BLIT) ? -1 : real_SDL_UpperBlit(src, srcrect, dst, dstrect);
    LOG(BLIT, t0, " src=%s srcrect=%s dst=%s %s -> r=%d", sid(src), SET(srcrect), sid(dst), in, r);
    return r;
}

void SDL_FreeSurface(SDL_Surface *s)
{
    REAL(SDL_FreeSurface);
    if (!OURS()) {
        real_SDL_FreeSurface(s);
        return;
    }
    uint64_t t0 = now();
    const char *id = sid(s);
    for (int i = 0; i < 64; i++)
        if (surfs[i].s == s) surfs[i].s = NULL;
    real_SDL_FreeSurface(s);
    LOG(FREESURFACE, t0, " s=%s", id);
}

int SDL_Flip(SDL_Surface *s)
{
    REAL(SDL_Flip);
    if (!OURS()) return real_SDL_Flip(s);
    uint64_t t0 = now();
    int r = failing(FLIP) ? -1 : real_SDL_Flip(s);
    LOG(FLIP, t0, " s=%s -> r=%d", sid(s), r);
    frame++;
    after_flip = 1;
    if (rss_every > 0 && frame % rss_every == 0) out("rss", now(), 0, " kb=%ld", status_kb("VmRSS:"));
    return r;
}

void SDL_Delay(Uint32 ms)
{
    REAL(SDL_Delay);
    if (!OURS()) {
        real_SDL_Delay(ms);
        return;
    }
    uint64_t t0 = now();
    if (!nodelay) real_SDL_Delay(ms);
    LOG(DELAY, t0, " ms=%u", ms);
}

static int quitting; /* in SDL_Quit, which may end in a jump to SDL_QuitSubSystem */

void SDL_QuitSubSystem(Uint32 flags)
{
    REAL(SDL_QuitSubSystem);
    if (!OURS() || quitting) {
        real_SDL_QuitSubSystem(flags);
        return;
    }
    uint64_t t0 = now();
    real_SDL_QuitSubSystem(flags);
    LOG(QUITSUBSYSTEM, t0, " flags=0x%x", flags);
}

void SDL_Quit(void)
{
    REAL(SDL_Quit);
    if (OURS()) {
        if (logged[QUIT])
            out("SDL_Quit", now(), 0, " hwm_kb=%ld rss_kb=%ld", status_kb("VmHWM:"), status_kb("VmRSS:"));
        flush_log();
        quitting = 1;
    }
    real_SDL_Quit();
}
