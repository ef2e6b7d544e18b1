// Values in the administrator's script commands: whatever a client or a
// device sends reaches a real /bin/sh script as exactly one argument, byte
// for byte, wherever the placeholder stands (plain, in double quotes, in
// single quotes, inside a word), and the shell never runs any part of it.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ovusbd/core/scriptcommand.h"
#include "ovusbd/core/shellcommand.h"

namespace {

class ScriptCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ovusb-script-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    recorder = dir + "/record";
    // Writes its argument count, then each argument ended by a NUL.
    std::ofstream script(recorder);
    script << "#!/bin/sh\nout=\"$1\"; shift\n{ printf '%s\\n' \"$#\"; for a; do printf '%s\\000' \"$a\"; done; } "
              "> \"$out\"\n";
    script.close();
    chmod(recorder.c_str(), 0755);
  }
  void TearDown() override { std::filesystem::remove_all(dir); }

  // The arguments the recorder got, or {"<not run>"}.
  std::vector<std::string> recorded() const {
    std::ifstream in(dir + "/out", std::ios::binary);
    if (!in) return {"<not run>"};
    std::string count;
    std::getline(in, count);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0')) args.push_back(arg);
    if (std::to_string(args.size()) != count) args.push_back("<count " + count + ">");
    return args;
  }

  // Runs command (with "REC" standing for the recorder and its output file)
  // with $V$ = value; returns the recorded arguments.
  std::vector<std::string> run(const std::string& command, const std::string& value) {
    std::filesystem::remove(dir + "/out");
    std::string line = "'" + recorder + "' '" + dir + "/out' " + command;
    const char* pairs[] = {"$V$", value.c_str(), "$OTHER$", "other"};
    char* filled = fillScriptCommand(line.c_str(), pairs, 4);
    EXPECT_NE(filled, nullptr);
    if (filled == nullptr) return {};
    const int status = runShellCommand(filled);
    free(filled);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << " with " << value;
    return recorded();
  }

  std::string marker() const { return dir + "/ran"; }

  std::string dir;
  std::string recorder;
};

TEST_F(ScriptCommandTest, EveryValueIsOneExactArgumentAndRunsNothing) {
  const std::string mark = marker();
  const std::vector<std::string> values = {
      "!#$&;|'\"",
      "`touch " + mark + "`",
      "$(touch " + mark + ")",
      "; touch " + mark,
      "'; touch " + mark + "; '",
      "\"; touch " + mark + "; \"",
      "'\"$(touch " + mark + ")\"'",
      "x -rf --option=evil",
      "  two  spaces  ",
      "caf\xc3\xa9 \xe2\x98\x83",
      std::string(127, 'n'),
      "${PATH} $HOME $$ $V$ $OTHER$",
      "* ? [a] ~",
      "back\\slash\\",
      "'",
      "",
  };
  struct Form {
    const char* command;  // $V$ somewhere in it
    const char* before;   // what the recorded argument holds around the value
    const char* after;
  };
  const Form forms[] = {
      {"$V$", "", ""},
      {"\"$V$\"", "", ""},
      {"'$V$'", "", ""},
      {"--name=$V$", "--name=", ""},
      {"\"a $V$ b\"", "a ", " b"},
      {"'a $V$ b'", "a ", " b"},
      {"x\"$V$\"y", "x", "y"},
  };
  for (const Form& form : forms) {
    for (const std::string& value : values) {
      const std::vector<std::string> args = run(form.command, value);
      const std::vector<std::string> expected = {form.before + value + form.after};
      EXPECT_EQ(args, expected) << "command " << form.command << " value [" << value << "]";
    }
  }
  struct stat status;
  EXPECT_NE(stat(mark.c_str(), &status), 0) << "a value ran a command";
}

// Several placeholders and the administrator's own shell text keep their
// meaning: the command runs as written, with the values in their places.
TEST_F(ScriptCommandTest, AdministratorsTextKeepsItsMeaning) {
  EXPECT_EQ(run("$V$ $OTHER$ \"$V$\"", "a b"), (std::vector<std::string>{"a b", "other", "a b"}));
  // A comment with a quote in it does not change how later lines read.
  EXPECT_EQ(run("$V$ # it's a comment\n", "x'y"), (std::vector<std::string>{"x'y"}));
  // A placeholder the pairs do not name stays as written.
  EXPECT_EQ(run("'$NONE$' $V$", "v"), (std::vector<std::string>{"$NONE$", "v"}));
  // Control characters cannot travel into a script's log line.
  EXPECT_EQ(run("$V$", "a\nb\rc\x7f"), (std::vector<std::string>{"a_b_c_"}));
  // Without a placeholder the command is left exactly as it was.
  const char* pairs[] = {"$V$", "x"};
  char* same = fillScriptCommand("echo '$X' \"${HOME}\"", pairs, 2);
  ASSERT_NE(same, nullptr);
  EXPECT_STREQ(same, "echo '$X' \"${HOME}\"");
  free(same);
}

}  // namespace
