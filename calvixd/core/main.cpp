#include "calvixd/core/daemon.h"

int main()
{
    return DaemonMain();
}
