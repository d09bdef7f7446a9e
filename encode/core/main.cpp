// The encoder program: everything happens in the start-up, which the tests drive as a library call.
#include "encode/core/startup.h"

int main(int argc, char **argv)
{
    return Encode_main(argc, argv);
}
