#include "ovusbd/core/cmdline.h"

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ovusbd/core/coresettings.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/platform.h"
#include "ovusbd/core/version.h"

namespace {

const char* programName(const char* argv0) {
  if (!argv0) return "ovusbd";
  const char* slash = strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}

// A relative path joined to the working directory; an absolute one copied.
char* absolutePath(const char* path) {
  if (path[0] == '/') return strdup(path);
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return strdup(path);
  char* joined = nullptr;
  if (asprintf(&joined, "%s/%s", cwd, path) < 0) return nullptr;
  return joined;
}

// A bare file name goes next to the executable; a name with a directory
// part ("./ovusbd.log") is taken as given.
char* logPathFor(const char* name) {
  if (strchr(name, '/')) return strdup(name);
  char exe[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (length <= 0) return strdup(name);
  exe[length] = '\0';
  char* slash = strrchr(exe, '/');
  if (!slash) return strdup(name);
  *slash = '\0';
  char* joined = nullptr;
  if (asprintf(&joined, "%s/%s", exe, name) < 0) return nullptr;
  return joined;
}

void dropLogTarget(char** logFilePath) {
  FILE* old = logFile;
  setLogFile(nullptr);
  if (old && old != stdout && old != stderr) fclose(old);
  free(*logFilePath);
  *logFilePath = nullptr;
}

bool setLogTarget(const char* target, char** logFilePath) {
  if (strcmp(target, "stdout") == 0 || strcmp(target, "stderr") == 0) {
    dropLogTarget(logFilePath);
    setLogFile(strcmp(target, "stdout") == 0 ? stdout : stderr);
    return true;
  }
  char* path = logPathFor(target);
  FILE* stream = path ? fopen(path, "ae") : nullptr;
  if (!stream) {
    int e = path ? errno : ENOMEM;
    fprintf(stderr, "ERROR, Cannot write to log file %s, error %d (%s)\n\n", path ? path : target,
            e, strerror(e));
    free(path);
    return false;
  }
  dropLogTarget(logFilePath);
  *logFilePath = path;
  setLogFile(stream);
  return true;
}

bool replaceText(char** field, char* value) {
  if (!value) return false;
  free(*field);
  *field = value;
  return true;
}

}  // namespace

void printUsage(const char* argv0, int platformCode) {
  const char* name = programName(argv0);
  printf(
      "%s v%d.%d.%d\n"
      "Orvanta USB Server for %s\n"
      "Use USB Devices over the network\n"
      "\n"
      "usage: %s [-bhiqnu] [-c <configuration file>] [-r <log file>]\n"
      "\n"
      "options:\n"
      "   -b run as daemon in the background\n"
      "   -c configuration file\n"
      "   -h display this usage\n"
      "   -i prefer ipv6 (dual/stack)\n"
      "   -r log to file instead of syslog\n"
      "\n",
      name, kVersionMajor, kVersionMinor, kVersionPatch, platformName(platformCode), name);
  fflush(stdout);
}

int parseCommandLine(int argc, char** argv, CoreSettings* settings) {
  // "+": stop at the first argument that is not an option; ":": tell a
  // missing operand from an unknown option; no messages of getopt's own.
  opterr = 0;
  optind = 0;
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  int option;
  while ((option = getopt(argc, argv, "+:bc:r:id:uhos")) != -1) {
    switch (option) {
      case 'b':
        settings->runAsDaemon = true;
        break;
      case 'c':
        if (!replaceText(&settings->configFileArgument, absolutePath(optarg))) return kCommandLineError;
        break;
      case 'r':
        if (!setLogTarget(optarg, &settings->logFilePath)) {
          printUsage(argv0, settings->platformCode);
          return kCommandLineError;
        }
        break;
      case 'i':
        settings->preferIpv6 = true;
        break;
      case 'd':
        if (!replaceText(&settings->deviceNodeDirectory, strdup(optarg))) return kCommandLineError;
        break;
      case 'u':
        settings->exitAtOnce = true;
        break;
      case 'h':
        printUsage(argv0, settings->platformCode);
        return kCommandLineUsage;
      case 'o':
      case 's':
        break;
      case ':':
        fprintf(stderr, "ERROR, Option -%c requires an operand\n\n", optopt);
        printUsage(argv0, settings->platformCode);
        return kCommandLineError;
      default:
        fprintf(stderr, "ERROR, Unrecognized option: -%c\n\n", optopt);
        printUsage(argv0, settings->platformCode);
        return kCommandLineError;
    }
  }
  return kCommandLineContinue;
}
