// calvix: one run performs one action named on the command line.
#include "calvix/toolmain.h"

int main(int argc, char** argv)
{
    return RunCalvix(argc, argv);
}
