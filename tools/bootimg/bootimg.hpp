// bootimg: builds and checks image containers for the switch on a build host.
#pragma once

#include <cstdio>

// The whole tool, with its output streams passed in so that it can be run
// in-process. Returns the exit status: 0 ok, 1 problems found or refused,
// 2 usage error.
int bootimg_main(int argc, char** argv, std::FILE* out, std::FILE* err);
