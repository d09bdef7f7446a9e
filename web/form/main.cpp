// The entry point of every CGI program: the form layer runs the whole request around the program's
// cgiMain and its result becomes the exit status.
#include "web/form/form.h"

int main()
{
    return cgiRun();
}
