#include "shut_down.h"

#include <SDL.h>

#ifndef _WIN32
#include <csignal>
#include <unistd.h>
#endif

int shut_down(int status)
{
#ifndef _WIN32
    // A healthy shutdown of the rest takes about a tenth of a second at most,
    // on a sound server or without one: two seconds leave a busy machine room
    // to spare, and the wait is short for a screen already handed back. The
    // handler may cut into the library anywhere, so it only ends the process.
    // The signal may come blocked from whatever started tumble (a signal mask
    // is inherited across exec), and would then never arrive: it is unblocked
    // here, on the thread that waits.
    std::signal(SIGALRM, status == 0 ? +[](int) { _exit(0); } : +[](int) { _exit(1); });
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
    alarm(2);
#endif
    SDL_Quit();
#ifndef _WIN32
    alarm(0);
#endif
    return status;
}
