#include "calvix/resultblocks.h"

#include <cstdarg>
#include <cstdio>

void PrintErrorBlock(const char* format, ...) {
  char message[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  std::fprintf(stderr,
               "\n***************************** ERROR *****************************\n"
               "%s\n"
               "********************* *********************** *******************\n\n",
               message);
  std::fflush(stderr);
}
