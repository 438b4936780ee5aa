#pragma once

// Shuts down what is left of SDL once the display has been let go
// (SDL_QuitSubSystem(SDL_INIT_VIDEO)) and returns status, 0 or 1, the exit
// status the program was going to end with. A sound server that stops
// answering keeps the audio thread, and with it SDL_Quit, waiting for ever:
// past a bound of two seconds the process ends at once with that status.
int shut_down(int status);
