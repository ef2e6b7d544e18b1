// The framed blocks in which calvix reports the outcome of a run.
#pragma once

// Error block on standard error. The message is cut to 255 characters.
void PrintErrorBlock(const char* format, ...) __attribute__((format(printf, 1, 2)));
