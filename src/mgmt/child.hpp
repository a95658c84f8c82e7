// The network programs the launcher keeps running while it goes on with the
// console (the busybox applet of a download, the DHCP client of zero-touch):
// started without a shell, so nothing of a location reaches one, in a
// process group of their own, so that the console's Ctrl-C reaches the
// launcher alone, which then ends them itself.
#pragma once

#include <sys/types.h>

namespace child {

// Starts `path` with `argv` (nullptr-ended), standard input on /dev/null and
// standard output and error on `out` (-1: /dev/null), with every console
// signal at its default. The pid, or -1 (with errno's reason printed).
pid_t start(const char* path, char* const argv[], int out);

// True once `pid` has ended; its exit status (128 + the signal for one that
// a signal ended) in `code`.
bool ended(pid_t pid, int& code);

// Ends the process group of `pid` (TERM, then KILL after a second) and
// reaps it.
void stop(pid_t pid);

}  // namespace child
