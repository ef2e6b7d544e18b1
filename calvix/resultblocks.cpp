#include "calvix/resultblocks.h"

#include <cstdarg>
#include <cstdio>

#include "calvix/api.h"

namespace {

const char kErrorOpening[] = "\n***************************** ERROR *****************************\n";
const char kErrorClosing[] = "********************* *********************** *******************\n\n";

const char kUsageText[] =
    "Usage:\n"
    "\n"
    "calvix <command>\n"
    "\n"
    "where <command> is one of the following:\n"
    "\n"
    "    -s <device> | <deviceid>\n"
    "    -share <device> | <deviceid>\n"
    "        Share the specified device.\n"
    "    -t <device> | <deviceid>\n"
    "    -unshare <device> | <deviceid>\n"
    "        Unshare the specified device.\n"
    "    -auto-share on|off\n"
    "        Enable or disable automatic sharing of usb devices.\n"
    "    -create-callback <address>:<port>\n"
    "        Create callback connection to remote USB client.\n"
    "    -close-callback <address>:<port> | <client> | <clientid> | all\n"
    "        Close callback connection to remote USB client.\n"
    "    -remote-auto-connect on|off <client> | <clientid>\n"
    "        Enable or disable automatic connection of devices on the specified\n"
    "        remote client if it was connected via callback.\n"
    "    -connect-to <client> <device> | <clientid>-<deviceid>\n"
    "        Connect the specified device to the specified client. Client must be\n"
    "        already connected to this server.\n"
    "    -disconnect-from <device> | <deviceid> | all\n"
    "        Disconnect the specified local device from a client.\n"
    "    -add-exclusion <device> | <deviceid>\n"
    "        Add the specified device into exclusions list.\n"
    "    -remove-exclusion <device> | <deviceid>\n"
    "        Remove the specified device from exclusions list.\n"
    "    -l\n"
    "    -list-devices\n"
    "        Display a list of all usb devices in the configuration.\n"
    "    -list-clients\n"
    "        Display a list of connected clients.\n"
    "    -set-tcp-port <port>\n"
    "        Set TCP port number used by the program.\n"
    "    -set-nickname \"<nickname>\" <device>\n"
    "        Set nickname for the specified device.\n"
    "        Specify empty string to remove nickname.\n"
    "    -set-timeout <timeout> <device> | <deviceid>\n"
    "        Set inactivity timeout for a device. Timeout value is in seconds.\n"
    "        Set to zero to disable inactivity timeout.\n"
    "    -info\n"
    "        Display summary information about the current configuration.\n"
    "    -version\n"
    "        Display program version.\n"
    "    -help\n"
    "        Display this command-line help.\n"
    "\n"
    "<device> is a combination of one or more of the following parametersthat identify a usb device:\n"
    "\n"
    "    -vid <vendorid>\n"
    "        Vendor id of a usb device as displayed by -list-devices command.\n"
    "    -pid <productid>\n"
    "        Product id of a usb device as displayed by -list-devices command.\n"
    "    -usb-port <port>\n"
    "        Usb port number as displayed by -list-devices command.\n"
    "    -serial <serial>\n"
    "        Usb device serial number as displayed by -list-devices command.\n"
    "    -device-name \"<name>\"\n"
    "        Usb device name as displayed by -list-devices command.\n"
    "        The name must be enclosed in double quotes.\n"
    "\n"
    "<client> is one of the following parameters that identify a usb client\n"
    "connected to this server:\n"
    "\n"
    "    -client <address>:<port>\n"
    "        Remote client address and port number.\n"
    "    -clientid <id>\n"
    "        Remote client id as displayed by -list-clients command.\n"
    "\n"
    "Examples:\n"
    "\n"
    "To share a device by id:\n"
    "calvix -share 8\n"
    "\n"
    "To share a device by vid and pid:\n"
    "calvix -share -vid 0441 -pid 0012\n"
    "\n"
    "To share a device by USB port number:\n"
    "calvix -share -usb-port 1-2\n"
    "\n"
    "To enable auto-sharing mode:\n"
    "calvix -auto-share on\n"
    "\n"
    "To create a callback connection to remote client:\n"
    "calvix -create-callback 192.168.0.10:32032\n"
    "\n"
    "To close a callback connection by id:\n"
    "calvix -close-callback 3\n"
    "\n"
    "To close all callback connections:\n"
    "calvix -close-callback all\n"
    "\n"
    "To set nickname for a device by device id:\n"
    "calvix -set-nickname \"My Flash Drive\" 5\n"
    "\n"
    "To set a 15 seconds inactivity timeout for a device by device id:\n"
    "calvix -set-timeout 15 5\n"
    "\n";

} // namespace

void PrintSuccessBlock(const char* format, ...)
{
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    std::printf("\n====================== OPERATION SUCCESSFUL =====================\n"
                "%s\n"
                "===================== ======================= ===================\n\n",
                message);
    std::fflush(stdout);
}

void PrintErrorBlock(const char* format, ...)
{
    char message[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    std::fprintf(stderr, "%s%s\n%s", kErrorOpening, message, kErrorClosing);
    std::fflush(stderr);
}

const char* OperationErrorText(uint32_t code, int action)
{
    switch (code) {
    case 2:
        if (action == 43 || action == 57 || action == 62)
            return "Selected rule not found, please check parameters and try again.\n";
        return "Selected identifier not found, please check parameters and try again.\n";
    case 3:
        if (action == 4)
            return "Sharing is not allowed because device is in exclusion list.\n";
        if (action == 6)
            return "Connecting is not allowed because device is in exclusion list.\n";
        return "";
    case 4:
        if (action == 4)
            return "Sharing denied by Device Policy.\n";
        if (action == 6)
            return "Connecting denied by Device Policy.\n";
        return "";
    case 5:
        return "This function has been disabled by administrator.\n";
    case 15:
        return "Connection with USB server is broken, please wait until it re-establishes and try again.\n";
    case 87:
        return "Invalid parameter specified.\n";
    case 997:
        if (action == 7)
            return "Connection timeout, client did not connect the device in a timely manner.\n";
        return "Connection still in progress.\n";
    case 1247:
        switch (action) {
        case 4: return "Selected device already shared.\n";
        case 5: return "Selected device is already unshared.\n";
        case 6:
        case 7: return "Selected device already connected.\n";
        case 8:
        case 10: return "Selected device is already disconnected.\n";
        case 11: return "Selected device already in exclusion list.\n";
        case 12: return "Selected device is already not in exclusion list.\n";
        case 40:
        case 56:
        case 61: return "Selected rule already exists.\n";
        default: return "Operation has been already done before.\n";
        }
    case 1348:
        return "Invalid device specified.\n";
    case 1349:
        return "Invalid server specified.\n";
    case 1350:
        return "Invalid client specified.\n";
    case 1351:
        if (action == 4)
            return "Selected device is not available for sharing.\n";
        if (action == 6 || action == 7)
            return "Selected device is not available for connection.\n";
        return "Selected device is not in a valid state for this operation.\n";
    case 1352:
        if (action == 6)
            return "Selected server is not connected.\n";
        return "Selected server is not in a valid state for this operation.\n";
    case 1353:
        if (action == 6 || action == 7)
            return "Selected client is not connected.\n";
        return "Selected client is not in a valid state for this operation.\n";
    case 1354:
        return "Selected device not found, please check parameters and try again.\n";
    case 1355:
        return "Selected server not found, please check parameters and try again.\n";
    case 1356:
        return "Selected client not found, please check parameters and try again.\n";
    case 1460:
        return "Synchronization error, please try again.\n";
    case 4319:
        if (action == 6)
            return "Device is not available for connection on remote computer at the moment.\n";
        return "Operation failed.\n";
    case 0xF0000001:
        return "Can not bind USB device, please try again.\n";
    case 0xF0000002:
        return "Can not unbind USB device, please try again.\n";
    case 0xF0000003:
        return "Interprocess communication error, please try again.\n";
    case 0xF0000006:
        return "Device operating speed is not determined, can not connect such devices.\n";
    case 0xF0000007:
        return "Connection of USB 3.0 SuperSpeed devices is not\n"
               "supported on your system. Kernel version 2.6.39 or\n"
               "newer is required. If your system is RedHat-based,\n"
               "then you need to update to version 6.3 or newer.\n"
               "If you still need to connect this device on this\n"
               "system, please re-plug it into USB 2.0 port or\n"
               "attach through a USB 2.0 hub.\n";
    default:
        return "Operation failed.\n";
    }
}

void PrintOperationErrorCode(const char* message, int action, uint32_t code, uint32_t location)
{
    std::fputs(kErrorOpening, stderr);
    if (message)
        std::fprintf(stderr, "%s ", message);
    std::fputs(OperationErrorText(code, action), stderr);
    std::fprintf(stderr, "Error %d module 0x%04x line %d\n", static_cast<int>(code), location >> 16,
                 static_cast<int>(location & 0xFFFF));
    std::fputs(kErrorClosing, stderr);
    std::fflush(stderr);
}

void PrintOperationError(const char* message, int action)
{
    uint32_t location = 0;
    uint32_t code = ApiGetLastError(&location);
    PrintOperationErrorCode(message, action, code, location);
}

void PrintUsage()
{
    std::puts("\nUSB Calvento for Linux v.3.10\n");
    std::fputs(kUsageText, stdout);
    std::puts("This unique software product allows using USB devices remotely");
    std::puts("by redirecting them over local network or Internet.");
    std::puts("");
    std::fflush(stdout);
}
