// What the launcher's commands inherit of its signal handling, with the
// PC's own shell: the launcher ignores the console's signal keys, the
// commands it runs must not.
#include "launch/startup.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "support/testing.hpp"

namespace {

using testing_support::TemporaryDirectory;

// A mask line of /proc/PID/status ("SigIgn:\t0000000000001000") as bits.
unsigned long long mask_of(const std::string& status, const std::string& name) {
    std::istringstream in(status);
    for (std::string line; std::getline(in, line);)
        if (line.rfind(name + ":", 0) == 0)
            return std::stoull(line.substr(name.size() + 1), nullptr, 16);
    ADD_FAILURE() << name << " missing in\n" << status;
    return ~0ull;
}

bool has(unsigned long long mask, int signal) {
    return (mask >> (signal - 1)) & 1;
}

TEST(LauncherCommands, GetDefaultSignalsAndAreResumedWhenTheConsoleStopsThem) {
    TemporaryDirectory dir;
    sig_init();
    startup::ignore_console_signals();
    const std::string status = (dir / "status").string();
    const std::string after = (dir / "after").string();
    // The command stops itself as Ctrl-Z would stop it; only the launcher
    // can continue it.
    const std::string command = "cat /proc/self/status > " + status +
                                "; kill -STOP $$; echo resumed > " + after + "; exit 7";
    const int result = startup::run_shell(command.c_str());
    EXPECT_TRUE(WIFEXITED(result) && WEXITSTATUS(result) == 7) << result;

    std::ifstream in(status);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const unsigned long long ignored = mask_of(text, "SigIgn");
    for (int s : {SIGINT, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU})
        EXPECT_FALSE(has(ignored, s)) << "the command ignores " << strsignal(s);
    EXPECT_FALSE(has(mask_of(text, "SigBlk"), SIGCHLD)) << "the command has SIGCHLD blocked";
    std::ifstream resumed(after);
    std::string word;
    resumed >> word;
    EXPECT_EQ(word, "resumed");

    // The launcher itself keeps its own handling once the command is done.
    struct sigaction now {};
    sigaction(SIGQUIT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, &sig_handler);
    startup::restore_console_signals();
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace
