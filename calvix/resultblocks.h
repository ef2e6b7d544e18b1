// The framed blocks in which calvix reports the outcome of a run.
#pragma once

#include <cstdint>

// Success block on standard output, error block on standard error. The
// message is cut to 255 characters.
void PrintSuccessBlock(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PrintErrorBlock(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Operation error block for the calling thread's last API error, read once.
void PrintOperationError(const char* message, int action);
// The same for an error already read: reading the API's stored open error
// resets it, so a caller that has read it passes it on.
void PrintOperationErrorCode(const char* message, int action, uint32_t code, uint32_t location);
// The explanation line for an error code and action; empty when the table
// has none.
const char* OperationErrorText(uint32_t code, int action);
void PrintUsage();
