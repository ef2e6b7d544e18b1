#include "calvix/toolmain.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "calvix/api.h"
#include "calvix/commandline.h"
#include "calvix/controlwire.h"
#include "calvix/listprinters.h"
#include "calvix/resolution.h"
#include "calvix/resultblocks.h"
#include "calvix/ruleediting.h"

namespace {

const char kProductName[] = "USB Calvento for Linux";
const char kVersionLine[] = "USB Calvento for Linux v.3.10";
const char kEventLogPath[] = "/var/log/calvixd.log";

const char kInvalidDevice[] = "Invalid or incomplete device identifiers specified, please check parameters and try again.";
const char kDeviceNotFound[] = "Selected device not found, please check parameters and try again.";
const char kInvalidClient[] = "Invalid or incomplete client identifier specified, please check parameters and try again.";
const char kClientNotFound[] = "Selected client not found, please check parameters and try again.";
const char kInvalidCallback[] =
    "Invalid or incomplete callback identifier specified, please check parameters and try again.";
const char kCallbackNotFound[] = "Selected callback connection not found, please check parameters and try again.";
const char kInvalidPort[] = "Invalid TCP port number, please check and try again.";
const char kInvalidMode[] = "Invalid mode specified, please enter one of the following: allow, deny or disabled.";
const char kInvalidRule[] = "Invalid or no rule specified, please check and try again.";

// One action run: the parsed command and the exit code it ends with.
class CAction {
public:
    explicit CAction(const ParsedCommand& command) : c(command) {}

    int Run();

private:
    // Resolves the device named on the command line; false when the run
    // ends here (the block is printed and the exit code set).
    bool CheckDevice()
    {
        if (c.deviceId != -1 || CheckDeviceIdentifiers(c.vendorId, c.productId, c.usbPort, c.serial, c.deviceName))
            return true;
        return Fail(EXIT_TOOL_USAGE, kInvalidDevice);
    }
    bool LookupDevice(const PreferredStates& states)
    {
        if (c.deviceId != -1) {
            m_device = static_cast<uint32_t>(c.deviceId);
            return true;
        }
        int64_t found = FindDevice(0, states, c.vendorId, c.productId, c.serial, c.usbPort, c.deviceName);
        if (found == -1)
            return Fail(EXIT_TOOL_NOT_FOUND, kDeviceNotFound);
        m_device = static_cast<uint32_t>(found);
        return true;
    }
    bool Device(const PreferredStates& states) { return CheckDevice() && LookupDevice(states); }

    bool AddressValid() const { return IsValidEndpoint(c.address, c.port, c.transportKind); }

    bool Fail(int exitCode, const char* message)
    {
        PrintErrorBlock("%s", message);
        m_exit = exitCode;
        return false;
    }
    // The outcome of the API call.
    int Report(bool done, const char* success, const char* failure, int failureExit = EXIT_TOOL_FAILED)
    {
        if (done) {
            PrintSuccessBlock("%s", success);
            return EXIT_TOOL_SUCCESS;
        }
        PrintOperationError(failure, c.action);
        return failureExit;
    }

    bool ValidMode() const { return c.value >= 0 && c.value <= 2; }
    // A rule number from 1 as a zero-based index; -1 otherwise.
    int RuleIndex() const { return c.ruleId >= 1 ? c.ruleId - 1 : -1; }
    bool HasPolicyCriteria() const
    {
        return c.vendorId != -1 || c.productId != -1 || c.deviceClass != -1 || c.deviceSubclass != -1 ||
               c.deviceProtocol != -1 || !c.serial.empty() || !c.usbPort.empty();
    }
    // The policy keeps 16-bit vendor and product numbers and 8-bit class
    // fields; a wider number cannot name a rule.
    bool PolicyCriteriaFit() const
    {
        return c.vendorId <= 0xFFFF && c.productId <= 0xFFFF && c.deviceClass <= 0xFF && c.deviceSubclass <= 0xFF &&
               c.deviceProtocol <= 0xFF;
    }

    int Connect();
    int AutoConnect(bool on);
    int CloseCallback();

    const ParsedCommand& c;
    uint32_t m_device = 0;
    int m_exit = EXIT_TOOL_SUCCESS;
};

int CAction::Connect()
{
    bool byObject = c.objectId != -1;
    if (!byObject && !AddressValid()) {
        PrintErrorBlock("%s", kInvalidClient);
        return EXIT_TOOL_USAGE;
    }
    if (!Device({DEVICE_STATE_SHARED, DEVICE_STATE_IN_USE_INACTIVE}))
        return m_exit;
    int64_t client = -1;
    if (!byObject) {
        client = FindClientByAddress(c.address, c.port, c.transportKind);
        if (client == -1)
            client = FindCallbackByAddress(c.address, c.port, c.transportKind);
    } else {
        client = ExpandShortId(c.objectId);
    }
    if (client == -1) {
        PrintErrorBlock("%s", kClientNotFound);
        return EXIT_TOOL_NOT_FOUND;
    }
    bool done = ApiConnectDevice(m_device, static_cast<uint32_t>(client)) &&
                ApiWaitForDeviceConnection(0, m_device, false, -1);
    return Report(done, "USB device connected to client", "Can not connect USB device.");
}

int CAction::AutoConnect(bool on)
{
    bool byObject = c.objectId != -1;
    if (!byObject && !AddressValid()) {
        PrintErrorBlock("%s", kInvalidCallback);
        return EXIT_TOOL_USAGE;
    }
    int64_t id = byObject ? ExpandShortId(c.objectId) : FindCallbackByAddress(c.address, c.port, c.transportKind);
    if (id < 0xC0000001LL || id > 0xCFFFFFFFLL) {
        PrintErrorBlock("%s", kCallbackNotFound);
        return EXIT_TOOL_NOT_FOUND;
    }
    return Report(ApiSetAutoConnect(static_cast<uint32_t>(id), on),
                  on ? "Remote USB client switched to auto-connect mode"
                     : "Remote USB client switched to manual-connect mode",
                  "Can not change connection mode.");
}

int CAction::CloseCallback()
{
    bool byObject = c.objectId != -1;
    if (!byObject && !AddressValid()) {
        PrintErrorBlock("%s", kInvalidCallback);
        return EXIT_TOOL_USAGE;
    }
    int64_t id = byObject ? (static_cast<uint32_t>(c.objectId) | 0xC0000000u)
                          : FindCallbackByAddress(c.address, c.port, c.transportKind);
    if (id == -1) {
        PrintErrorBlock("%s", kCallbackNotFound);
        return EXIT_TOOL_NOT_FOUND;
    }
    return Report(ApiRemoveCallbackConnection(static_cast<uint32_t>(id)),
                  "Callback connection to USB client has been closed",
                  "Can not close callback connection to USB client.");
}

int CAction::Run()
{
    switch (c.action) {
    case ACTION_SYNTAX_ERROR:
        PrintErrorBlock("Syntax error in the command line.");
        return EXIT_TOOL_USAGE;
    case ACTION_MULTIPLE_ACTIONS:
        PrintErrorBlock("Multiple actions specified in the command line, please specify just one!");
        return EXIT_TOOL_USAGE;
    case ACTION_UNKNOWN_WORD:
        PrintErrorBlock("Unknown parameter specified in the command line.");
        return EXIT_TOOL_USAGE;

    case ACTION_SHARE:
        if (!Device({DEVICE_STATE_PLUGGED}))
            return m_exit;
        return Report(ApiShareDevice(m_device), "USB device has been shared", "Can not share USB device.");
    case ACTION_UNSHARE:
        if (!Device({DEVICE_STATE_INITIALIZING, DEVICE_STATE_SHARED, DEVICE_STATE_IN_USE, DEVICE_STATE_NOT_PLUGGED,
                     DEVICE_STATE_IN_USE_INACTIVE}))
            return m_exit;
        return Report(ApiUnshareDevice(m_device), "USB device has been unshared", "Can not unshare USB device.");
    case ACTION_CONNECT:
    case ACTION_CONNECT_TO:
        return Connect();
    case ACTION_DISCONNECT:
    case ACTION_DISCONNECT_FROM:
        if (!Device({DEVICE_STATE_IN_USE, DEVICE_STATE_IN_USE_INACTIVE}))
            return m_exit;
        return Report(ApiDisconnectDevice(m_device), "USB device disconnected from client",
                      "Can not disconnect USB device.");
    case ACTION_ADD_EXCLUSION:
        if (!Device({}))
            return m_exit;
        return Report(ApiAddExclusion(0, m_device), "Device has been added to exclusion list",
                      "Can not add USB device to exclusion list.");
    case ACTION_REMOVE_EXCLUSION:
        if (!Device({}))
            return m_exit;
        return Report(ApiRemoveExclusion(0, m_device), "Device has been removed from exclusion list",
                      "Can not remove USB device from exclusion list.");
    case ACTION_AUTO_SHARE_ON:
    case ACTION_AUTO_SHARE_OFF: {
        bool on = c.action == ACTION_AUTO_SHARE_ON;
        return Report(ApiSetAutoShare(on), on ? "Switched to auto-sharing mode" : "Switched to manual-sharing mode",
                      "Can not change sharing mode.");
    }
    case ACTION_AUTO_CONNECT_ON:
    case ACTION_REMOTE_AUTO_CONNECT_ON:
        return AutoConnect(true);
    case ACTION_AUTO_CONNECT_OFF:
    case ACTION_REMOTE_AUTO_CONNECT_OFF:
        return AutoConnect(false);
    case ACTION_LIST_DEVICES:
    case ACTION_LIST_LOCAL_DEVICES:
        PrintDeviceList();
        return EXIT_TOOL_SUCCESS;
    case ACTION_LIST_CLIENTS:
        PrintClientList();
        return EXIT_TOOL_SUCCESS;
    case ACTION_INFO:
        PrintServerInfo();
        return EXIT_TOOL_SUCCESS;
    case ACTION_SET_TCP_PORT:
        if (c.port < 0 || c.port > 65535) {
            PrintErrorBlock("%s", kInvalidPort);
            return EXIT_TOOL_USAGE;
        }
        return Report(ApiSetTcpPort(static_cast<uint16_t>(c.port)), "TCP port has been changed",
                      "Can not change TCP port.", EXIT_TOOL_PORT_FAILED);
    case ACTION_CREATE_CALLBACK:
        if (!IsValidPortForKind(c.port, c.transportKind)) {
            PrintErrorBlock("%s", kInvalidPort);
            return EXIT_TOOL_USAGE;
        }
        if (!AddressValid()) {
            PrintErrorBlock("Invalid address specified, please check and try again.");
            return EXIT_TOOL_USAGE;
        }
        return Report(ApiAddCallbackConnection(c.address.c_str(), static_cast<uint16_t>(c.port == -1 ? 0 : c.port),
                                               static_cast<uint32_t>(c.transportKind), nullptr),
                      "Callback connection to remote USB client has been added",
                      "Can not create callback connection to USB client.");
    case ACTION_CLOSE_CALLBACK:
        return CloseCallback();
    case ACTION_SET_RESET_METHOD:
        if (!CheckDevice())
            return m_exit;
        if (c.value < 0 || c.value > 3) {
            PrintErrorBlock("Invalid reset method specified, please enter one of the following: hard, soft, replug or "
                            "disabled.");
            return EXIT_TOOL_USAGE;
        }
        if (!LookupDevice({}))
            return m_exit;
        return Report(ApiSetDeviceResetMethod(m_device, static_cast<uint32_t>(c.value)), "Reset method has been set",
                      "Can not set device reset method.");
    case ACTION_SET_NICKNAME:
        if (!CheckDevice())
            return m_exit;
        if (c.text.size() >= 256) {
            PrintErrorBlock("Invalid nickname specified, please check and try again.");
            return EXIT_TOOL_USAGE;
        }
        if (!LookupDevice({}))
            return m_exit;
        return Report(ApiSetDeviceNickname(m_device, c.text.c_str()),
                      c.text.empty() ? "Nickname has been removed" : "Nickname has been set",
                      "Can not set device nickname.");
    case ACTION_SET_TIMEOUT:
        if (!Device({}))
            return m_exit;
        return Report(ApiSetDeviceTimeout(m_device, static_cast<uint32_t>(c.value)),
                      c.value == 0 ? "Inactivity timeout has been disabled" : "Inactivity timeout has been set",
                      "Can not set device inactivity timeout.");
    case ACTION_LIST_DEVICE_POLICY:
    case ACTION_LIST_SERVER_DEVICE_POLICY:
        if (!PrintDevicePolicy()) {
            PrintOperationError(nullptr, c.action);
            return EXIT_TOOL_FAILED;
        }
        return EXIT_TOOL_SUCCESS;
    case ACTION_SET_DEVICE_POLICY_MODE:
    case ACTION_SET_SERVER_DEVICE_POLICY_MODE:
        if (!ValidMode()) {
            PrintErrorBlock("%s", kInvalidMode);
            return EXIT_TOOL_USAGE;
        }
        return Report(SetDevicePolicyMode(c.value), "Device Policy mode has been set",
                      "Can not set Device Policy mode.");
    case ACTION_ADD_DEVICE_POLICY_RULE:
    case ACTION_ADD_SERVER_DEVICE_POLICY_RULE:
        if (!HasPolicyCriteria() || !PolicyCriteriaFit()) {
            PrintErrorBlock("%s", kInvalidRule);
            return EXIT_TOOL_USAGE;
        }
        return Report(AddDevicePolicyRule(c.vendorId, c.productId, c.deviceClass, c.deviceSubclass, c.deviceProtocol,
                                          c.serial, c.usbPort, c.text),
                      "Device Policy rule has been added", "Can not add Device Policy rule.");
    case ACTION_REMOVE_DEVICE_POLICY_RULE:
    case ACTION_REMOVE_SERVER_DEVICE_POLICY_RULE:
        if ((c.ruleId < 1 && !HasPolicyCriteria()) || !PolicyCriteriaFit()) {
            PrintErrorBlock("%s", kInvalidRule);
            return EXIT_TOOL_USAGE;
        }
        return Report(RemoveDevicePolicyRule(RuleIndex(), c.vendorId, c.productId, c.deviceClass, c.deviceSubclass,
                                             c.deviceProtocol, c.serial, c.usbPort, c.text),
                      "Device Policy rule has been removed", "Can not remove Device Policy rule.");
    case ACTION_REMOVE_ALL_DEVICE_POLICY_RULES:
    case ACTION_REMOVE_ALL_SERVER_DEVICE_POLICY_RULES:
        return Report(RemoveAllDevicePolicyRules(), "All Device Policy rules have been removed",
                      "Can not remove Device Policy rule.");
    case ACTION_CLOSE_ALL_CALLBACKS:
        return Report(CloseAllCallbacks(), "All callback connections have been closed",
                      "Can not close callback connection to USB client.");
    case ACTION_DISCONNECT_ALL:
        return Report(DisconnectAllDevices(), "All USB devices disconnected", "Can not disconnect USB device.");
    case ACTION_VERSION:
        std::printf("%s\n", kVersionLine);
        return EXIT_TOOL_SUCCESS;
    case ACTION_PNP_INSTANCE_ID: {
        if (!Device({}))
            return m_exit;
        char text[256] = {};
        uint32_t size = sizeof(text);
        if (ApiGetDeviceInstanceId(0, m_device, text, &size)) {
            std::printf("%s\n", text);
            return EXIT_TOOL_SUCCESS;
        }
        uint32_t location = 0;
        uint32_t code = ApiGetLastError(&location);
        if (code == API_ERROR_DEVICE_STATE || code == 21) {
            std::printf("\n");
            return EXIT_TOOL_SUCCESS;
        }
        PrintOperationErrorCode(nullptr, c.action, code, location);
        return EXIT_TOOL_FAILED;
    }
    case ACTION_LIST_ACL:
        if (!Device({}))
            return m_exit;
        if (!PrintDeviceAcl(m_device)) {
            PrintOperationError(nullptr, c.action);
            return EXIT_TOOL_FAILED;
        }
        return EXIT_TOOL_SUCCESS;
    case ACTION_SET_ACL_MODE:
        if (!ValidMode()) {
            PrintErrorBlock("%s", kInvalidMode);
            return EXIT_TOOL_USAGE;
        }
        if (!Device({}))
            return m_exit;
        return Report(SetAclMode(m_device, c.value), "ACL mode has been set", "Can not set ACL mode.");
    case ACTION_ADD_ACL:
        if (!CheckDevice())
            return m_exit;
        if (c.text.empty()) {
            PrintErrorBlock("%s", kInvalidRule);
            return EXIT_TOOL_USAGE;
        }
        if (!LookupDevice({}))
            return m_exit;
        return Report(AddAclRule(m_device, c.text), "ACL rule has been added", "Can not add ACL rule.");
    case ACTION_REMOVE_ACL:
        if (!CheckDevice())
            return m_exit;
        if (c.ruleId == 0 || (c.ruleId == -1 && c.text.empty())) {
            PrintErrorBlock("%s", kInvalidRule);
            return EXIT_TOOL_USAGE;
        }
        if (!LookupDevice({}))
            return m_exit;
        return Report(RemoveAclRule(m_device, RuleIndex(), c.text), "ACL rule has been removed",
                      "Can not remove ACL rule.");
    case ACTION_REMOVE_ALL_ACL:
        if (!Device({}))
            return m_exit;
        return Report(RemoveAllAclRules(m_device), "All ACL rules have been removed", "Can not remove ACL rule.");
    case ACTION_LIST_IP_FILTERS:
        if (!PrintIpFilters()) {
            PrintOperationError(nullptr, c.action);
            return EXIT_TOOL_FAILED;
        }
        return EXIT_TOOL_SUCCESS;
    case ACTION_SET_IP_FILTERS_MODE:
        if (!ValidMode()) {
            PrintErrorBlock("%s", kInvalidMode);
            return EXIT_TOOL_USAGE;
        }
        return Report(SetIpFilterMode(c.value), "IP Filters mode has been set", "Can not set IP filters mode.");
    case ACTION_ADD_IP_FILTER:
        if (c.text.empty()) {
            PrintErrorBlock("%s", kInvalidRule);
            return EXIT_TOOL_USAGE;
        }
        return Report(AddIpFilter(c.text), "IP Filter rule has been added", "Can not add IP filter.");
    case ACTION_REMOVE_IP_FILTER:
        if (c.ruleId < 1 && c.text.empty()) {
            PrintErrorBlock("%s", kInvalidRule);
            return EXIT_TOOL_USAGE;
        }
        return Report(RemoveIpFilter(RuleIndex(), c.text), "IP Filter rule has been removed",
                      "Can not remove IP filter.");
    case ACTION_REMOVE_ALL_IP_FILTERS:
        return Report(RemoveAllIpFilters(), "All IP Filter rules have been removed", "Can not remove IP filter.");
    default:
        // 0, 9, 13, 14, 23, 33 and the client-policy actions show the usage.
        PrintUsage();
        return EXIT_TOOL_USAGE;
    }
}

} // namespace

int RunCalvix(int argc, char** argv)
{
    CCommandLine commandLine(argc, argv);
    ParsedCommand command;
    commandLine.Parse(command);

    // The API opens for every action, the usage and the parse errors too.
    if (!ApiOpen(false)) {
        uint32_t location = 0;
        uint32_t code = ApiGetLastError(&location);
        if (code == API_ERROR_VERSION) {
            PrintErrorBlock("Incompatible daemon version! Please re-install the program.");
        } else if (code == API_ERROR_CONNECT_FAILED || code == API_ERROR_SERVICE_NOT_ACTIVE) {
            PrintErrorBlock("Can not connect to %s daemon.\nPlease make sure the daemon is running. If not, you can "
                            "try\nstarting it manually. In case of failure, please check log file\nat %s and contact "
                            "our support team.",
                            kProductName, kEventLogPath);
        } else {
            PrintOperationErrorCode("Command line initialization error.", 0, code, location);
        }
        return EXIT_TOOL_NO_DAEMON;
    }
    int exitCode = CAction(command).Run();
    ApiClose();
    return exitCode;
}
