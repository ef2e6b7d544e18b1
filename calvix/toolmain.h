// The whole run of calvix: parse, open the client API, one action, one
// result block, close. Returns the exit code.
#pragma once

enum : int {
    EXIT_TOOL_SUCCESS = 0,
    EXIT_TOOL_USAGE = 1,      // usage shown, parse error, argument refused
    EXIT_TOOL_NO_DAEMON = 2,  // the client API did not open
    EXIT_TOOL_NOT_FOUND = 3,  // device, client or callback not found
    EXIT_TOOL_FAILED = 5,     // the daemon or the API failed the operation
    EXIT_TOOL_PORT_FAILED = 6,
};

int RunCalvix(int argc, char** argv);
