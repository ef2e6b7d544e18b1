// calvixd with the simulated `ravel` driver: the daemon's own main, with the
// driver seam and the sysfs root pointed at the model before start-up. The
// model's control socket (tests/support/ravelsimcontrol.h) is served from
// the daemon's first call into the driver on, so it runs in the daemonised
// process.
#include <cstdlib>
#include <mutex>
#include <string>

#include "calvixd/core/daemon.h"
#include "calvixd/net/ravelsys.h"
#include "calvixd/net/usbsysfs.h"
#include "tests/support/ravelsim.h"
#include "tests/support/ravelsimcontrol.h"

namespace {

ravelsim::RavelSim* g_sim = nullptr;
RavelSys g_simTable;
std::string g_socketPath;
std::once_flag g_serving;

void EnsureServing()
{
    std::call_once(g_serving, [] { ravelsim::StartControlServer(g_sim, g_socketPath); });
}

int ServedOpen(const char* path, int flags)
{
    EnsureServing();
    return g_simTable.open(path, flags);
}
int ServedClose(int fd)
{
    return g_simTable.close(fd);
}
int ServedIoctl(int fd, unsigned long request, void* argument)
{
    return g_simTable.ioctl(fd, request, argument);
}
ssize_t ServedReadProcDevices(char* buffer, size_t size)
{
    EnsureServing();
    return g_simTable.readProcDevices(buffer, size);
}

const RavelSys SERVED_TABLE = {ServedOpen, ServedClose, ServedIoctl, ServedReadProcDevices};

} // namespace

int main(int argc, char** argv)
{
    const char* socketPath = argc > 1 ? argv[1] : getenv("RAVELSIM_SOCKET");
    const char* root = getenv("RAVELSIM_ROOT");
    static std::string sysfsRoot = root && *root ? root : "/run/ravelsim/devices/";
    if (sysfsRoot.back() != '/')
        sysfsRoot += '/';
    g_socketPath = socketPath && *socketPath ? socketPath : "/run/ravelsim/control";
    g_sim = new ravelsim::RavelSim(sysfsRoot);
    g_sim->Install();
    g_simTable = *ravelSys;
    ravelSys = &SERVED_TABLE;
    usbSysfsRoot = sysfsRoot.c_str();
    return DaemonMain();
}
