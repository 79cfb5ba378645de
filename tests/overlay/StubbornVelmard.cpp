// A velmard that never sees its stop signal: blocks SIGUSR1 (the block is
// kept across exec, and velmard only sets a handler) and runs the real
// velmard with the same arguments, so that it shows as "velmard -d" at the
// place it was started from.
#include <csignal>
#include <unistd.h>

int main(int, char** argv)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGUSR1);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    execv(VELMARD_PATH, argv);
    return 127;
}
