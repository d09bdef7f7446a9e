// The encoder program: everything happens in the start-up, which the tests drive as a library call.
#include "encode/app/startup.h"

#include <cstdio>

int main(int argc, char **argv)
{
    // Line-buffered even into a pipe or a log file, so that progress shows as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return Encode_main(argc, argv);
}
