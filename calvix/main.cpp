// calvix: one run performs one action named on the command line.
#include "calvix/commandline.h"
#include "calvix/resultblocks.h"

namespace {

constexpr int kExitUsage = 1;
constexpr int kExitOperationFailed = 5;

}  // namespace

int main(int argc, char** argv) {
  CCommandLine commandLine(argc, argv);
  ParsedCommand command;
  commandLine.Parse(command);

  switch (command.action) {
  case ACTION_SYNTAX_ERROR:
    PrintErrorBlock("Syntax error in the command line.");
    return kExitUsage;
  case ACTION_MULTIPLE_ACTIONS:
    PrintErrorBlock("Multiple actions specified in the command line, please specify just one!");
    return kExitUsage;
  case ACTION_UNKNOWN_WORD:
    PrintErrorBlock("Unknown parameter specified in the command line.");
    return kExitUsage;
  default:
    // The control interface client is not there yet: say so rather than
    // pretend the action ran.
    PrintErrorBlock("This action (%d) is not implemented yet.", command.action);
    return kExitOperationFailed;
  }
}
