// Command line of ovusbd: -b, -c, -r, -i, -d, -u, -h, -o, -s.
#pragma once

struct CoreSettings;

enum CommandLineResult {
  kCommandLineError = 0,  // main ends with 6
  kCommandLineUsage = 1,  // usage shown on request; main ends with 0
  kCommandLineContinue = 2,
};

// Parses the options left to right up to the first argument that is not an
// option, into the command-line fields of settings (runAsDaemon, preferIpv6,
// exitAtOnce, configFileArgument, deviceNodeDirectory, logFilePath). Errors
// and the usage go to stderr and stdout. The -r stream is handed to the
// logger (setLogFile).
int parseCommandLine(int argc, char** argv, CoreSettings* settings);

// Writes the usage text to stdout as one block.
void printUsage(const char* argv0, int platformCode);

