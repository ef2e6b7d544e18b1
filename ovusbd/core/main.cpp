// ovusbd: USB sharing server.
#include "ovusbd/core/startup.h"

int main(int argc, char** argv) { return runServer(argc, argv); }
