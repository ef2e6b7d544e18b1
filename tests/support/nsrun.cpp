#include "tests/support/nsrun.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace nsrun {
namespace {

// Records on the report pipe, each written with one write() (below
// PIPE_BUF, so atomic).
struct Record {
    char tag;   // 'B' init's host pid, 'R' ready, 'E' error, 'S' target status
    int32_t a;  // pid, stage or wait status
    int32_t b;  // errno for 'E'
};

// Error stages reported by the children; the parent turns them into text.
enum Stage : int32_t {
    StageUnshare = 1,
    StageForkInit = 2,
    StagePrivate = 3,
    StageProc = 4,
    StageLoopback = 5,
    StageForkTarget = 6,
    StageChdir = 7,
    StageCredentials = 8,
    StageExec = 9,
    StageMount = 1000,  // + mount index
    StageFile = 2000,   // + file index
};

// Everything the children need, prepared before fork(): after fork only
// system calls on these buffers run, no allocation (the test process may
// have threads holding allocator locks).
struct MountOp {
    Mount::Kind kind;
    const char *target;
    const char *source;
    std::vector<const char *> keep;
};
struct FileOp {
    const char *path;
    const char *content;
    size_t length;
    mode_t mode;
    uid_t uid;
    gid_t gid;
    File::Type type;
};
struct Plan {
    std::vector<MountOp> mounts;
    std::vector<FileOp> files;
    std::vector<char *> argv;
    std::vector<char *> envp;
    const std::function<int()> *entry;
    const char *cwd;
    bool dropIds;
    uid_t uid;
    gid_t gid;
    int stdinFd;
    int stdoutFd;
    int stderrFd;
    int reportFd;
    dev_t ourDevs[64];
    int ourDevCount;
};

void report(int fd, char tag, int32_t a, int32_t b)
{
    Record r{tag, a, b};
    ssize_t n;
    do {
        n = write(fd, &r, sizeof r);
    } while (n < 0 && errno == EINTR);
}

[[noreturn]] void fail(const Plan &plan, int32_t stage)
{
    report(plan.reportFd, 'E', stage, errno);
    _exit(127);
}

bool isOurs(const Plan &plan, dev_t dev)
{
    for (int i = 0; i < plan.ourDevCount; i++)
        if (plan.ourDevs[i] == dev)
            return true;
    return false;
}

// Makes the missing directories of `path` (all components when `whole`,
// else all but the last), but only below a tmpfs this run laid: a missing
// directory whose parent lives on a host file system is refused.
bool makeDirs(const Plan &plan, const char *path, bool whole)
{
    char buffer[4096];
    size_t length = strlen(path);
    if (length >= sizeof buffer || path[0] != '/') {
        errno = length >= sizeof buffer ? ENAMETOOLONG : EINVAL;
        return false;
    }
    memcpy(buffer, path, length + 1);
    if (!whole) {
        char *slash = strrchr(buffer, '/');
        *slash = 0;
        if (buffer[0] == 0)
            return true; // parent is "/"
    }
    for (char *p = buffer + 1;; p++) {
        bool end = *p == 0;
        if (!end && *p != '/')
            continue;
        *p = 0;
        struct stat here;
        if (buffer[0] && stat(buffer, &here) != 0) {
            char *slash = strrchr(buffer, '/');
            *slash = 0;
            struct stat parent;
            bool ours = stat(buffer[0] ? buffer : "/", &parent) == 0 && isOurs(plan, parent.st_dev);
            *slash = '/';
            if (!ours) {
                errno = EROFS;
                return false;
            }
            if (mkdir(buffer, 0755) != 0 && errno != EEXIST)
                return false;
        }
        if (end)
            break;
        *p = '/';
    }
    return true;
}

// Makes `target` exist as a mount point of the same kind as `source`.
bool makeMountPoint(const Plan &plan, const char *target, bool directory)
{
    struct stat st;
    if (stat(target, &st) == 0)
        return true;
    if (directory)
        return makeDirs(plan, target, true);
    if (!makeDirs(plan, target, false))
        return false;
    char parent[4096];
    snprintf(parent, sizeof parent, "%s", target);
    char *slash = strrchr(parent, '/');
    if (slash)
        *slash = 0;
    struct stat pst;
    if (stat(parent[0] ? parent : "/", &pst) != 0 || !isOurs(plan, pst.st_dev)) {
        errno = EROFS;
        return false;
    }
    int fd = open(target, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

bool bindOver(const Plan &plan, const char *source, const char *target)
{
    struct stat st;
    if (stat(source, &st) != 0)
        return false;
    if (!makeMountPoint(plan, target, S_ISDIR(st.st_mode)))
        return false;
    return mount(source, target, nullptr, MS_BIND | MS_REC, nullptr) == 0;
}

bool layTmpfs(Plan &plan, const MountOp &op)
{
    int covered = -1;
    if (!op.keep.empty()) {
        covered = open(op.target, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (covered < 0)
            return false;
    }
    if (!makeDirs(plan, op.target, true))
        return false;
    if (mount("tmpfs", op.target, "tmpfs", MS_NOSUID, "mode=0755") != 0)
        return false;
    struct stat st;
    if (stat(op.target, &st) != 0)
        return false;
    if (plan.ourDevCount < 64)
        plan.ourDevs[plan.ourDevCount++] = st.st_dev;
    // Entries of the covered directory are reached through the descriptor
    // opened before the mount: /proc/self/fd/N resolves to the old dentry.
    for (const char *name : op.keep) {
        char from[4096], to[4096];
        snprintf(from, sizeof from, "/proc/self/fd/%d/%s", covered, name);
        snprintf(to, sizeof to, "%s/%s", op.target, name);
        struct stat est;
        if (lstat(from, &est) != 0)
            continue; // not on this host: nothing to keep
        if (S_ISLNK(est.st_mode)) {
            char link[4096];
            ssize_t n = readlink(from, link, sizeof link - 1);
            if (n < 0)
                return false;
            link[n] = 0;
            if (symlink(link, to) != 0)
                return false;
            continue;
        }
        if (S_ISDIR(est.st_mode)) {
            if (mkdir(to, 0755) != 0)
                return false;
        } else {
            int fd = open(to, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0)
                return false;
            close(fd);
        }
        if (mount(from, to, nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return false;
    }
    if (covered >= 0)
        close(covered);
    return true;
}

bool makeFile(const Plan &plan, const FileOp &f)
{
    if (!makeDirs(plan, f.path, f.type == File::Type::Directory))
        return false;
    if (f.type == File::Type::Directory) {
        if (chmod(f.path, f.mode) != 0)
            return false;
    } else if (f.type == File::Type::Fifo) {
        unlink(f.path);
        if (mkfifo(f.path, f.mode) != 0 || chmod(f.path, f.mode) != 0)
            return false;
    } else {
        int fd = open(f.path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, f.mode);
        if (fd < 0)
            return false;
        size_t done = 0;
        while (done < f.length) {
            ssize_t n = write(fd, f.content + done, f.length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                close(fd);
                return false;
            }
            done += n;
        }
        if (fchmod(fd, f.mode) != 0) {
            close(fd);
            return false;
        }
        close(fd);
    }
    return chown(f.path, f.uid, f.gid) == 0;
}

bool loopbackUp()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strcpy(ifr.ifr_name, "lo");
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    int saved = errno;
    close(s);
    errno = saved;
    return ok;
}

[[noreturn]] void runTarget(const Plan &plan)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; sig++)
        signal(sig, SIG_DFL);
    if (plan.stdinFd >= 0)
        dup2(plan.stdinFd, 0);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore); // crash tests must not litter core files
    if (plan.stdoutFd >= 0)
        dup2(plan.stdoutFd, 1);
    if (plan.stderrFd >= 0)
        dup2(plan.stderrFd, 2);
    if (chdir(plan.cwd) != 0)
        fail(plan, StageChdir);
    if (plan.dropIds) {
        if (setgroups(0, nullptr) != 0 || setgid(plan.gid) != 0 || setuid(plan.uid) != 0)
            fail(plan, StageCredentials);
    }
    if (plan.entry && *plan.entry) {
        fflush(nullptr);
        int code = (*plan.entry)();
        fflush(nullptr);
        _exit(code);
    }
    execve(plan.argv[0], plan.argv.data(), plan.envp.data());
    fail(plan, StageExec);
}

// PID 1 of the new namespace.
[[noreturn]] void runInit(Plan &plan)
{
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail(plan, StagePrivate);
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fail(plan, StageProc);
    for (size_t i = 0; i < plan.mounts.size(); i++) {
        const MountOp &op = plan.mounts[i];
        bool ok = op.kind == Mount::Kind::Tmpfs ? layTmpfs(plan, op) : bindOver(plan, op.source, op.target);
        if (!ok)
            fail(plan, StageMount + static_cast<int32_t>(i));
    }
    for (size_t i = 0; i < plan.files.size(); i++)
        if (!makeFile(plan, plan.files[i]))
            fail(plan, StageFile + static_cast<int32_t>(i));
    if (!loopbackUp())
        fail(plan, StageLoopback);

    pid_t target = fork();
    if (target < 0)
        fail(plan, StageForkTarget);
    if (target == 0)
        runTarget(plan);
    report(plan.reportFd, 'R', target, 0);

    // Reap every process until none is left; the target's status goes to
    // the parent, orphaned daemons are reaped silently.
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (pid == target)
            report(plan.reportFd, 'S', status, 0);
    }
    _exit(0);
}

std::string stageText(const RunOptions &run, int32_t stage)
{
    auto mountText = [&](const Mount &m) {
        const char *kind = m.kind == Mount::Kind::Tmpfs ? "tmpfs" : m.kind == Mount::Kind::Bind ? "bind" : "file";
        return std::string(kind) + " over " + m.target;
    };
    if (stage >= StageFile && stage - StageFile < static_cast<int32_t>(run.files.size()))
        return "making " + run.files[stage - StageFile].path;
    if (stage >= StageMount && stage - StageMount < static_cast<int32_t>(run.mounts.size()))
        return "mounting " + mountText(run.mounts[stage - StageMount]);
    switch (stage) {
    case StageUnshare: return "unshare";
    case StageForkInit: return "fork of the init";
    case StagePrivate: return "making mounts private";
    case StageProc: return "mounting /proc";
    case StageLoopback: return "bringing up lo";
    case StageForkTarget: return "fork of the target";
    case StageChdir: return "chdir to " + run.cwd;
    case StageCredentials: return "dropping to the given uid/gid";
    case StageExec: return "exec of " + (run.argv.empty() ? std::string("(none)") : run.argv[0]);
    default: return "stage " + std::to_string(stage);
    }
}

int openOutput(const std::string &path)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace

std::string describe(const ExitStatus &status)
{
    if (status.exited)
        return "exit code " + std::to_string(status.code);
    return std::string("signal ") + std::to_string(status.signal) + " (" + strsignal(status.signal) + ")";
}

std::vector<Mount> isolatedSystemMounts()
{
    using K = Mount::Kind;
    return {
        {K::Tmpfs, "/etc", {}, {}, {}},
        {K::Tmpfs, "/run", {}, {}, {}},
        {K::Tmpfs, "/var/log", {}, {}, {}},
        {K::Tmpfs, "/sys", {}, {}, {}},
        {K::Tmpfs, "/dev", {}, {},
         {"null", "zero", "full", "random", "urandom", "tty", "fd", "stdin", "stdout", "stderr", "pts", "shm"}},
    };
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::unique_ptr<Process> Process::start(const RunOptions &run, std::string *error)
{
    auto setError = [&](const std::string &text) {
        if (error)
            *error = text;
        return nullptr;
    };
    if (run.argv.empty() && !run.entry)
        return setError("nothing to run");

    std::unique_ptr<Process> p(new Process);
    if (run.workDir.empty()) {
        char dir[] = "/tmp/nsrun.XXXXXX";
        if (!mkdtemp(dir))
            return setError(std::string("mkdtemp: ") + strerror(errno));
        p->workDir_ = dir;
        p->removeWorkDir_ = true;
    } else {
        p->workDir_ = run.workDir;
        std::error_code ec;
        std::filesystem::create_directories(p->workDir_, ec);
    }

    // Everything the children use is laid out here, before fork.
    std::vector<std::string> fileSources(run.mounts.size());
    for (size_t i = 0; i < run.mounts.size(); i++) {
        if (run.mounts[i].kind != Mount::Kind::File)
            continue;
        fileSources[i] = p->workDir_ + "/mount." + std::to_string(i);
        std::ofstream f(fileSources[i], std::ios::binary | std::ios::trunc);
        f << run.mounts[i].content;
        if (!f)
            return setError("cannot write " + fileSources[i]);
    }
    std::vector<std::string> env = run.env;
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char *value = getenv(name);
        bool given = false;
        for (const auto &e : env)
            given = given || e.rfind(std::string(name) + "=", 0) == 0;
        if (value && !given)
            env.push_back(std::string(name) + "=" + value);
    }

    Plan plan{};
    for (size_t i = 0; i < run.mounts.size(); i++) {
        const Mount &m = run.mounts[i];
        MountOp op{m.kind, m.target.c_str(),
                   m.kind == Mount::Kind::File ? fileSources[i].c_str() : m.source.c_str(), {}};
        for (const auto &k : m.keep)
            op.keep.push_back(k.c_str());
        plan.mounts.push_back(op);
    }
    for (const File &f : run.files)
        plan.files.push_back({f.path.c_str(), f.content.data(), f.content.size(), f.mode, f.uid, f.gid, f.type});
    for (const auto &a : run.argv)
        plan.argv.push_back(const_cast<char *>(a.c_str()));
    plan.argv.push_back(nullptr);
    for (const auto &e : env)
        plan.envp.push_back(const_cast<char *>(e.c_str()));
    plan.envp.push_back(nullptr);
    plan.entry = &run.entry;
    plan.cwd = run.cwd.c_str();
    plan.dropIds = run.uid.has_value() || run.gid.has_value();
    plan.uid = run.uid.value_or(0);
    plan.gid = run.gid.value_or(run.uid.value_or(0));

    plan.stdinFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    plan.stdoutFd = plan.stderrFd = -1;
    if (run.captureOutput) {
        plan.stdoutFd = openOutput(p->workDir_ + "/stdout");
        plan.stderrFd = openOutput(p->workDir_ + "/stderr");
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return setError(std::string("pipe2: ") + strerror(errno));
    plan.reportFd = pipeFds[1];
    p->reportFd_ = pipeFds[0];

    fflush(nullptr); // buffered output must not be written twice
    pid_t helper = fork();
    if (helper == 0) {
        // A test that dies takes its namespaces with it: the helper dies
        // with the test, the init with the helper, and every process of
        // the namespace with the init.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(pipeFds[0]);
        if (unshare(CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWUTS) != 0)
            fail(plan, StageUnshare);
        pid_t init = fork();
        if (init < 0)
            fail(plan, StageForkInit);
        if (init == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            runInit(plan);
        }
        report(plan.reportFd, 'B', init, 0);
        close(plan.reportFd);
        int status;
        while (waitpid(init, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    int forkErrno = errno;
    close(pipeFds[1]);
    for (int fd : {plan.stdinFd, plan.stdoutFd, plan.stderrFd})
        if (fd >= 0)
            close(fd);
    if (helper < 0)
        return setError(std::string("fork: ") + strerror(forkErrno));
    p->helperPid_ = helper;

    // Wait for the init's pid and the ready (or error) record.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool ready = false;
    while (!(ready && p->initPid_)) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            return setError("namespace set-up timed out");
        struct pollfd pfd{p->reportFd_, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0)
            continue;
        Record r;
        ssize_t n = read(p->reportFd_, &r, sizeof r);
        if (n == 0)
            return setError("namespace set-up ended without a report");
        if (n != static_cast<ssize_t>(sizeof r))
            continue;
        if (r.tag == 'B')
            p->initPid_ = r.a;
        else if (r.tag == 'R') {
            ready = true;
            p->targetNsPid_ = r.a;
        }
        else if (r.tag == 'E')
            return setError(stageText(run, r.a) + ": " + strerror(r.b));
        else if (r.tag == 'S')
            p->status_ = WIFEXITED(r.a) ? ExitStatus::exitCode(WEXITSTATUS(r.a))
                                        : ExitStatus::killedBy(WTERMSIG(r.a));
    }
    // A failed exec is reported after 'R': catch it here while the caller
    // still gets a clear error.
    p->readRecords(0);
    return p;
}

// Reads the records that are there (waiting up to timeoutMs for the first);
// returns false on EOF.
bool Process::readRecords(int timeoutMs)
{
    while (!reportEof_) {
        struct pollfd pfd{reportFd_, POLLIN, 0};
        int n = poll(&pfd, 1, timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        Record r;
        ssize_t got = read(reportFd_, &r, sizeof r);
        if (got == 0) {
            reportEof_ = true;
            break;
        }
        if (got != static_cast<ssize_t>(sizeof r))
            continue;
        if (r.tag == 'S')
            status_ = WIFEXITED(r.a) ? ExitStatus::exitCode(WEXITSTATUS(r.a))
                                     : ExitStatus::killedBy(WTERMSIG(r.a));
        else if (r.tag == 'E' && r.a == StageExec)
            fprintf(stderr, "nsrun: exec failed: %s\n", strerror(r.b));
        timeoutMs = 0;
    }
    return false;
}

Process::~Process()
{
    readRecords(0);
    if (!reportEof_ && initPid_ > 0)
        ::kill(initPid_, SIGKILL); // takes every process of the namespace with it
    if (helperPid_ > 0) {
        int status;
        while (waitpid(helperPid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (reportFd_ >= 0)
        close(reportFd_);
    if (removeWorkDir_) {
        std::error_code ec;
        std::filesystem::remove_all(workDir_, ec);
    }
}

std::vector<NsPid> Process::processes() const
{
    std::vector<NsPid> result;
    struct stat nsStat;
    std::string nsLink = "/proc/" + std::to_string(initPid_) + "/ns/pid";
    if (stat(nsLink.c_str(), &nsStat) != 0)
        return result;
    DIR *proc = opendir("/proc");
    if (!proc)
        return result;
    while (struct dirent *e = readdir(proc)) {
        char *end;
        long pid = strtol(e->d_name, &end, 10);
        if (*end || pid <= 0 || pid == initPid_)
            continue;
        struct stat st;
        std::string base = std::string("/proc/") + e->d_name;
        if (stat((base + "/ns/pid").c_str(), &st) != 0 || st.st_ino != nsStat.st_ino || st.st_dev != nsStat.st_dev)
            continue;
        std::istringstream status(readFile(base + "/status"));
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("NSpid:", 0) != 0)
                continue;
            std::istringstream fields(line.substr(6));
            long value = 0, last = 0;
            while (fields >> value)
                last = value;
            if (last > 0)
                result.push_back({static_cast<pid_t>(pid), static_cast<pid_t>(last)});
        }
    }
    closedir(proc);
    return result;
}

pid_t Process::pid() const
{
    const_cast<Process *>(this)->readRecords(0);
    if (status_)
        return 0;
    for (const NsPid &p : processes())
        if (p.nsPid == targetNsPid_)
            return p.hostPid;
    return 0;
}

int Process::kill(int sig) const
{
    pid_t target = pid();
    if (target <= 0)
        return -ESRCH;
    return ::kill(target, sig) == 0 ? 0 : -errno;
}

int Process::killNs(pid_t nsPid, int sig) const
{
    for (const NsPid &p : processes())
        if (p.nsPid == nsPid)
            return ::kill(p.hostPid, sig) == 0 ? 0 : -errno;
    return -ESRCH;
}

std::optional<ExitStatus> Process::wait(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!status_ && !reportEof_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        readRecords(static_cast<int>(left.count()));
    }
    return status_;
}

bool Process::waitAll(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reportEof_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        readRecords(static_cast<int>(left.count()));
    }
    return true;
}

std::string Process::out() const { return readFile(workDir_ + "/stdout"); }
std::string Process::err() const { return readFile(workDir_ + "/stderr"); }

bool Process::waitForText(const std::string &file, const std::string &needle,
                          std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (readFile(file).find(needle) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool Process::waitForOut(const std::string &needle, std::chrono::milliseconds timeout) const
{
    return waitForText(workDir_ + "/stdout", needle, timeout);
}

bool Process::waitForErr(const std::string &needle, std::chrono::milliseconds timeout) const
{
    return waitForText(workDir_ + "/stderr", needle, timeout);
}

std::string Process::hostPath(const std::string &nsPath) const
{
    return "/proc/" + std::to_string(initPid_) + "/root" + nsPath;
}

} // namespace nsrun
