// Command line of ovusbd: -b, -c, -r, -i, -d, -u, -h, -o, -s.
#pragma once

extern bool runAsDaemon;
extern bool preferIpv6;
extern bool exitAtOnce;
// Absolute path given with -c, null when not given. Made absolute here, while
// the working directory is still the caller's: a daemon runs in "/".
extern char* configFileArgument;
extern char* deviceNodeDirectory;  // -d, null when not given
extern char* logFilePath;          // the file opened for -r, null for stdout/stderr/none

enum CommandLineResult {
  kCommandLineError = 0,  // main ends with 6
  kCommandLineUsage = 1,  // usage shown on request; main ends with 0
  kCommandLineContinue = 2,
};

// Parses the options left to right up to the first argument that is not an
// option. Errors and the usage go to stderr and stdout. The -r stream is
// handed to the logger (setLogFile).
int parseCommandLine(int argc, char** argv);

// Writes the usage text to stdout as one block.
void printUsage(const char* argv0);

// Frees what parseCommandLine kept and resets every option; the -r file is
// left to closeLogging.
void resetCommandLine();
