// nsrun: runs a command inside private namespaces with tmpfs and bind
// mounts over fixed paths; for trying out what a process test lays.
//
//   nsrun [--tmpfs PATH[:KEEP,KEEP...]] [--bind SRC:DST] [--file DST:TEXT]
//         [--make PATH:MODE[:TEXT]] [--fifo PATH:MODE] [--uid N] [--gid N]
//         [--cwd DIR] [--env NAME=VALUE] -- COMMAND [ARG...]
//
// The command writes to our own stdout and stderr; SIGINT and SIGTERM are
// passed on to it. Exit code: the command's, or 128 + the signal that
// ended it; 125 when the namespace could not be made.
#include "tests/support/nsrun.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

volatile sig_atomic_t pendingSignal = 0;

void onSignal(int sig) { pendingSignal = sig; }

int usage()
{
    fprintf(stderr,
            "usage: nsrun [--tmpfs PATH[:KEEP,...]] [--bind SRC:DST] [--file DST:TEXT]\n"
            "             [--make PATH:MODE[:TEXT]] [--fifo PATH:MODE] [--uid N] [--gid N]\n"
            "             [--cwd DIR] [--env NAME=VALUE] -- COMMAND [ARG...]\n");
    return 125;
}

} // namespace

int main(int argc, char **argv)
{
    nsrun::RunOptions run;
    run.captureOutput = false;
    run.env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"};
    int i = 1;
    for (; i < argc; i++) {
        std::string opt = argv[i];
        if (opt == "--") {
            i++;
            break;
        }
        if (i + 1 >= argc)
            return usage();
        std::string value = argv[++i];
        size_t colon = value.find(':');
        if (opt == "--tmpfs") {
            nsrun::Mount m{nsrun::Mount::Kind::Tmpfs, value.substr(0, colon), {}, {}, {}};
            if (colon != std::string::npos) {
                std::string keep = value.substr(colon + 1);
                size_t start = 0;
                while (start <= keep.size()) {
                    size_t comma = keep.find(',', start);
                    std::string name = keep.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                    if (!name.empty())
                        m.keep.push_back(name);
                    if (comma == std::string::npos)
                        break;
                    start = comma + 1;
                }
            }
            run.mounts.push_back(m);
        } else if ((opt == "--bind" || opt == "--file") && colon != std::string::npos) {
            if (opt == "--bind")
                run.mounts.push_back({nsrun::Mount::Kind::Bind, value.substr(colon + 1), value.substr(0, colon), {}, {}});
            else
                run.mounts.push_back({nsrun::Mount::Kind::File, value.substr(0, colon), {}, value.substr(colon + 1), {}});
        } else if ((opt == "--make" || opt == "--fifo") && colon != std::string::npos) {
            nsrun::File f;
            f.path = value.substr(0, colon);
            std::string rest = value.substr(colon + 1);
            size_t second = rest.find(':');
            f.mode = static_cast<mode_t>(strtoul(rest.substr(0, second).c_str(), nullptr, 8));
            if (second != std::string::npos)
                f.content = rest.substr(second + 1);
            f.type = opt == "--fifo" ? nsrun::File::Type::Fifo : nsrun::File::Type::Regular;
            run.files.push_back(f);
        } else if (opt == "--uid") {
            run.uid = static_cast<uid_t>(atoi(value.c_str()));
        } else if (opt == "--gid") {
            run.gid = static_cast<gid_t>(atoi(value.c_str()));
        } else if (opt == "--cwd") {
            run.cwd = value;
        } else if (opt == "--env") {
            run.env.push_back(value);
        } else {
            return usage();
        }
    }
    for (; i < argc; i++)
        run.argv.push_back(argv[i]);
    if (run.argv.empty())
        return usage();

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    std::string error;
    auto process = nsrun::Process::start(run, &error);
    if (!process) {
        fprintf(stderr, "nsrun: %s\n", error.c_str());
        return 125;
    }
    for (;;) {
        if (pendingSignal) {
            process->kill(pendingSignal);
            pendingSignal = 0;
        }
        auto status = process->wait(std::chrono::milliseconds(100));
        if (status)
            return status->exited ? status->code : 128 + status->signal;
    }
}
