"""The tests' harness, by what it drives; each test file imports what it uses.

  common         paths from the environment, the temporary folder, ending processes, skipping
  model          what tumble should draw: glibc's rand(), the turn, zoom and bounce
  assets         the pictures and music handed to tumble
  tumble         running tumble, with the shim (its log as a Result) or plainly
  screen         reading screenshots: where the picture is, waiting for it
  xvfb           the virtual X server, with openbox where wanted
  compositors    weston, sway and mutter behind one interface
  virtual_pointer  wlroots' virtual pointer, on the wire, for sway's clicks
  sound_server   PipeWire with its PulseAudio service and a recorded null sink
  chroot         minimal Debian chroots made with debootstrap
  sdl_impl       which SDL 1.2 a libSDL-1.2.so.0 is (also run by CMake)
"""
