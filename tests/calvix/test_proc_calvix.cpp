// The calvix binary: parse errors are reported with their error block and
// exit code 1, and an action it cannot carry out yet never claims success.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// Runs calvix with the words in private network, IPC, mount and PID
// namespaces, so a daemon running on this machine (its control socket is an
// abstract one, per network namespace) can never answer it. Standard output
// and error go to temporary files, so neither pipe can fill up.
RunResult RunCalvix(const std::vector<std::string>& words) {
  char outName[] = "/tmp/calvix-out-XXXXXX";
  char errName[] = "/tmp/calvix-err-XXXXXX";
  int outFd = mkstemp(outName);
  int errFd = mkstemp(errName);
  EXPECT_GE(outFd, 0);
  EXPECT_GE(errFd, 0);
  unlink(outName);
  unlink(errName);

  std::vector<std::string> storage = {"/usr/bin/unshare", "--net", "--ipc", "--mount", "--pid", "--fork", CALVIX_BIN};
  storage.insert(storage.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& word : storage) argv.push_back(word.data());
  argv.push_back(nullptr);

  RunResult result;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    int nullFd = open("/dev/null", O_RDONLY);
    if (nullFd >= 0) dup2(nullFd, STDIN_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  EXPECT_GT(pid, 0);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  }
  result.out = ReadAll(outFd);
  result.err = ReadAll(errFd);
  close(outFd);
  close(errFd);
  return result;
}

std::string ErrorBlock(const std::string& message) {
  return "\n***************************** ERROR *****************************\n" + message +
         "\n********************* *********************** *******************\n\n";
}

TEST(CalvixBinary, ParseErrorsPrintTheirBlockAndExitOne) {
  struct {
    std::vector<std::string> words;
    const char* message;
  } const cases[] = {
      {{"-vid", "zz"}, "Syntax error in the command line."},
      {{"-set-tcp-port", "4294967296"}, "Syntax error in the command line."},
      {{"-share", "-vid", "10441"}, "Syntax error in the command line."},
      {{"-share", "1", "-unshare", "2"},
       "Multiple actions specified in the command line, please specify just one!"},
      {{"-bogus"}, "Unknown parameter specified in the command line."},
  };
  for (const auto& c : cases) {
    RunResult r = RunCalvix(c.words);
    EXPECT_EQ(r.exitCode, 1) << c.words[0];
    EXPECT_EQ(r.err, ErrorBlock(c.message)) << c.words[0];
    EXPECT_EQ(r.out, "") << c.words[0];
  }
}

TEST(CalvixBinary, UnimplementedActionsFailWithoutClaimingSuccess) {
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{"-share", "8"}, {"-set-tcp-port", "0"}, {}, {"-version"}}) {
    RunResult r = RunCalvix(words);
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.exitCode, -1);
    EXPECT_NE(r.err.find("not implemented yet"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("OPERATION SUCCESSFUL"), std::string::npos);
  }
}

}  // namespace
