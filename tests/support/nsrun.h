// Namespace runner: starts a real binary inside private mount, PID,
// network and IPC namespaces, with tmpfs and bind mounts laid over fixed
// paths, so process tests can give a daemon its own /etc, /dev/bus/usb,
// /sys/bus/usb or /proc/version without touching the host.
//
// Process layout (host view):
//   test -> helper (stays in the host PID namespace, reaps the init)
//        -> init   (PID 1 of the new namespace: lays the mounts, brings
//                   up lo, forks the target, reaps every orphan)
//        -> target (execs argv[0]; see nsPid())
// A daemon that forks away from the target stays inside the namespace and
// is reaped by the init. When the handle is destroyed, the init gets
// SIGKILL, which the kernel turns into SIGKILL for every process of the
// namespace, and every mount vanishes with it.
//
// Requires root (CAP_SYS_ADMIN). Not thread-safe: use one handle from one
// thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nsrun {

// One mount, applied in list order after /proc has been mounted afresh for
// the new PID namespace.
struct Mount {
    enum class Kind {
        Tmpfs, // empty tmpfs over `target`; `keep` names entries of the
               // covered directory that are bound back (e.g. "null" for /dev)
        Bind,  // bind host path `source` (file or directory) over `target`
        File,  // bind a file holding `content` over `target` (e.g. /proc/version)
    };
    Kind kind = Kind::Tmpfs;
    std::string target;
    std::string source;
    std::string content;
    std::vector<std::string> keep;
};

// A file made after all mounts. Its directory is made as needed, but only
// inside a tmpfs that this run laid: the host's file systems are never
// written.
struct File {
    enum class Type { Regular, Directory, Fifo };
    std::string path;
    std::string content;
    mode_t mode = 0644;
    uid_t uid = 0;
    gid_t gid = 0;
    Type type = Type::Regular;
};

struct RunOptions {
    std::vector<std::string> argv;     // argv[0] is the path to exec
    // Instead of an exec: run this in the target process and exit with its
    // result (for unit tests of code that reads fixed paths). Only for
    // callers without other threads: it runs in a child of fork().
    std::function<int()> entry;
    std::vector<std::string> env;      // "NAME=value"; *SAN_OPTIONS of the caller are added
    std::vector<Mount> mounts;
    std::vector<File> files;
    std::optional<uid_t> uid;          // drop to this user before exec
    std::optional<gid_t> gid;          // and this group (supplementary groups cleared)
    std::string cwd = "/";             // working directory of the target
    bool captureOutput = true;         // false: the target writes to our stdout/stderr
    std::string workDir;               // host directory for output and file contents;
                                       // empty: a fresh /tmp/nsrun.XXXXXX, removed at the end
};

// What the target ended with.
struct ExitStatus {
    bool exited = false; // true: `code` holds the exit code
    int code = -1;
    int signal = 0;      // signal that ended it when !exited
    bool operator==(const ExitStatus &) const = default;
    static ExitStatus exitCode(int c) { return {true, c, 0}; }
    static ExitStatus killedBy(int s) { return {false, -1, s}; }
};
std::string describe(const ExitStatus &status);

struct NsPid {
    pid_t hostPid;
    pid_t nsPid;
};

class Process {
public:
    // Starts the target; returns null and sets `error` when the namespaces,
    // a mount, a file or the exec could not be made. Returns once the
    // target has been forked inside the ready namespace.
    static std::unique_ptr<Process> start(const RunOptions &run, std::string *error);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // Host pid of the target while it runs, 0 once it has ended.
    pid_t pid() const;
    // The target's pid inside the namespace (2 as a rule; a sanitizer's
    // thread in the init can take 2 first).
    pid_t nsPid() const { return targetNsPid_; }
    // Sends `sig` to the target (0 or -errno; -ESRCH once it has ended).
    int kill(int sig) const;
    // Sends `sig` to the namespace's process whose namespace pid is `nsPid`.
    int killNs(pid_t nsPid, int sig) const;
    // Every process of the namespace except its init.
    std::vector<NsPid> processes() const;

    // Waits for the target's end; nullopt when the deadline passes first.
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    // Waits until no process is left in the namespace (daemons included).
    bool waitAll(std::chrono::milliseconds timeout);

    // Captured output so far (empty without captureOutput).
    std::string out() const;
    std::string err() const;
    // Polls until `needle` appears in stdout (or stderr) or the deadline passes.
    bool waitForOut(const std::string &needle, std::chrono::milliseconds timeout) const;
    bool waitForErr(const std::string &needle, std::chrono::milliseconds timeout) const;

    // Host path under which a path of the namespace can be reached while the
    // namespace lives ("/proc/<init>/root/<path>").
    std::string hostPath(const std::string &nsPath) const;
    const std::string &workDir() const { return workDir_; }

private:
    Process() = default;
    bool readRecords(int timeoutMs);
    bool waitForText(const std::string &file, const std::string &needle,
                     std::chrono::milliseconds timeout) const;

    pid_t helperPid_ = 0;
    pid_t initPid_ = 0;
    pid_t targetNsPid_ = 0;
    int reportFd_ = -1;
    bool reportEof_ = false;
    std::optional<ExitStatus> status_;
    std::string workDir_;
    bool removeWorkDir_ = false;
};

// Empty tmpfs mounts over the system paths a daemon reads or writes:
// /etc, /run (and so /var/run), /var/log, /sys, and /dev with only its
// standard nodes kept (null, zero, full, random, urandom, tty, fd, stdin,
// stdout, stderr, pts, shm). /proc is always the namespace's own.
std::vector<Mount> isolatedSystemMounts();

// Reads a whole file; empty when it cannot be read.
std::string readFile(const std::string &path);

} // namespace nsrun
