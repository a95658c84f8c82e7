// Start-up of the switch: the SIGINT flag, the slot choice and the one way
// the launcher ends when it does not hand over to the application.
#pragma once

#include <signal.h>
#include <spawn.h>

#include <cstdint>

// Set by the SIGINT handler; the console dialogues test and clear it. A byte
// store is atomic on every CPU the launcher runs on, which is all a signal
// handler needs here.
extern volatile std::uint8_t sig_quit_raised;

void sig_init();
void sig_handler(int signum);

// The slot to boot from the VPD: 2 when the boot slot byte is 2, else 1.
int which_image();

// Sleeps a second, runs "reboot" and ends the process with status 0.
[[noreturn]] void board_reset();

namespace startup {

// The other slot: 2 for slot 1, 1 for anything else.
inline int alternate_slot(int slot) {
    return slot == 1 ? 2 : 1;
}

// The console's other signal keys and noise on the line must neither end
// nor stop the launcher: SIGQUIT (Ctrl-\), SIGTSTP (Ctrl-Z) and the
// background terminal signals SIGTTIN and SIGTTOU are ignored from here on.
// SIGINT keeps its handler (sig_init).
void ignore_console_signals();

// Puts the signals that ignore_console_signals() took back at their
// defaults, for a program that replaces the launcher.
void restore_console_signals();

// Fills `attr` for a program the launcher starts: SIGINT and the console's
// other signals at their defaults, `mask` as its signal mask, and `flags`
// (POSIX_SPAWN_SETPGROUP, say) besides.
void console_defaults(posix_spawnattr_t* attr, const sigset_t& mask, short flags = 0);

// Runs a command line through the system shell, as system(3) does: the
// result is its wait status, -1 when there is none, and SIGINT and SIGQUIT
// are ignored by the launcher while it runs. The command gets the default
// disposition of every console signal. One that the console's Ctrl-Z stops
// is resumed: nobody else could. Our own output is flushed first, so that
// the console shows it before whatever the command prints.
int run_shell(const char* command);

// Runs the program `path` with `argv` (nullptr-ended) as run_shell runs a
// command line, without a shell: nothing in an argument means anything to
// one.
int run_program(const char* path, char* const argv[]);

// True when the path exists.
bool exists(const char* path);

// Makes sure descriptors 0 to 2 are open (on /dev/null where they were
// closed), so that no device opened later gets one of them: a bus handle of
// 0 would read as "not open", and a partition on 1 or 2 would receive the
// console's messages.
void claim_standard_descriptors();

}  // namespace startup
