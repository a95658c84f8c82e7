#include <cstdio>

#include "bootimg.hpp"

int main(int argc, char** argv) {
    return bootimg_main(argc, argv, stdout, stderr);
}
