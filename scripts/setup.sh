# Shared set-up for ./run and ./test: Debian packages, then a CMake build.
# Sourced, not run.

# The same names on Debian 12 and 13: libsdl1.2-dev is the classic SDL 1.2 on
# Debian 12 and the SDL2-based one (sdl12-compat) on Debian 13.
build_packages=(g++ cmake make pkg-config
    libsdl1.2-dev libsdl-image1.2-dev libsdl-mixer1.2-dev libsdl-gfx1.2-dev
    libpng-dev libvorbis-dev)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whichever of the given Debian packages are missing.
#   install_packages [--no-install-recommends] PACKAGE...
install_packages() {
    local options=() missing=()
    if [ "${1:-}" = --no-install-recommends ]; then
        options+=("$1")
        shift
    fi
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${missing[*]}"
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${options[@]}" "${missing[@]}"
}

# configure_and_build BUILD_DIR [CMAKE_ARGS...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@"
    cmake --build "$dir" -j "$(nproc)"
}

# Which SDL 1.2 implementation the system's libSDL-1.2.so.0 is, the one tumble
# is built against: classic (Debian 12) or compat (the SDL2-based one, Debian 13).
system_sdl() {
    /usr/bin/python3 tests/harness/sdl_impl.py "$(pkg-config --variable=libdir sdl)" | cut -d ' ' -f 1
}

# When the system's SDL 1.2 is the classic one, puts the SDL2-based library into
# build/compat, only as a library beside the build (its -dev package would
# replace the classic one), and prints the folder that holds its
# libSDL-1.2.so.0. Prints nothing when the system's own is the SDL2-based one:
# the tests take that one (and Debian 13's libsdl1.2-compat holds no library).
fetch_compat() {
    local compat=$PWD/build/compat
    [ "$(system_sdl)" = classic ] || return 0
    if [ -z "$(find "$compat" -path '*/sdl12-compat/libSDL-1.2.so.0' 2>/dev/null)" ]; then
        mkdir -p "$compat"
        (cd "$compat" && { apt-get download libsdl1.2-compat >/dev/null 2>&1 \
            || { as_root apt-get update -q >&2 && apt-get download libsdl1.2-compat >&2; }; } \
            && dpkg -x libsdl1.2-compat_*.deb root)
    fi
    dirname "$(find "$compat" -path '*/sdl12-compat/libSDL-1.2.so.0' | head -n 1)"
}
