#include "calvixd/core/usbcoreiface.h"

#include "calvixd/core/controlreply.h"
#include "calvixd/core/controlrequest.h"

namespace {

// Requests served before start-up is complete: the rest would race the
// server core's start.
bool ServedBeforeReady(uint32_t code)
{
    return code == CORE_REQ_GET_VERSION || code == CORE_REQ_GET_STARTUP_STATE;
}

// The device data block carries its total size as a u16 at offset 2; only a
// block whose size agrees with it is sent.
bool DeviceDataIsWhole(const std::vector<uint8_t>& block)
{
    return block.size() >= 4 && static_cast<size_t>(block[2] | block[3] << 8) == block.size();
}

} // namespace

CUsbCoreIface::CUsbCoreIface(CCoreRequests* core, const char* socketName, const char* userGroup,
                             const char* adminGroup, const CoreIfaceSettings& settings)
    : CCoreIface(socketName, userGroup, adminGroup, settings), m_core(core)
{
}

CUsbCoreIface::~CUsbCoreIface()
{
    Stop();
}

void CUsbCoreIface::HandleUnknownRequest(CCoreIfaceConnection* connection)
{
    CExceptionEx* error = new CExceptionEx(MODULE_USBCOREIFACE, CORE_LINE_UNKNOWN_REQUEST, ERROR_NOT_SUPPORTED);
    connection->Drain(0);
    CControlReply reply;
    reply.U32(0);
    reply.Record(*error);
    connection->Write(reply.Get().data(), reply.Get().size());
    // A client still sending its arguments is not cut off before it reads
    // the reply.
    connection->Drain(GetSettings().drainMs);
    throw error;
}

void CUsbCoreIface::HandleRequest(CCoreIfaceConnection* connection)
{
    if (!connection->IsAllowed())
        return;

    std::vector<uint8_t> input;
    ControlRequest q;
    ControlParseResult parsed;
    for (;;) {
        parsed = ParseControlRequest(input.data(), input.size(), &q);
        if (parsed.status == ControlParse::Invalid)
            return;
        if (parsed.status == ControlParse::Complete)
            break;
        if (!connection->Fill(&input, parsed.needed)) {
            if (!q.partialList)
                return;
            break;
        }
    }
    if (!q.known) {
        HandleUnknownRequest(connection);
        return;
    }

    CControlReply reply;
    auto send = [&] { return connection->Write(reply.Get().data(), reply.Get().size()); };
    try {
        if (!ServedBeforeReady(q.code) && m_core->GetStartupState() < 100)
            throw new CExceptionEx(MODULE_USBCOREIFACE, CORE_LINE_NOT_READY, ERROR_NOT_READY);
        switch (q.code) {
        case CORE_REQ_GET_SNAPSHOT: {
            std::vector<DeviceInfo> devices;
            std::vector<ConnectionInfo> connections;
            std::vector<DeviceClientInfo> clients;
            m_core->GetSnapshot(&devices, &connections, &clients);
            reply.U32(1);
            reply.U32(static_cast<uint32_t>(connections.size()));
            for (const ConnectionInfo& info : connections)
                reply.Connection(info);
            reply.U32(static_cast<uint32_t>(devices.size()));
            for (const DeviceInfo& info : devices)
                reply.Device(info);
            reply.U32(static_cast<uint32_t>(clients.size()));
            for (const DeviceClientInfo& info : clients)
                reply.DeviceClient(info);
            break;
        }
        case CORE_REQ_SHARE_DEVICE:
            m_core->ShareDevice(q.deviceId, 0);
            reply.U32(1);
            break;
        case CORE_REQ_SHARE_DEVICE_EX:
            m_core->ShareDevice(q.deviceId, q.value);
            reply.U32(1);
            break;
        case CORE_REQ_UNSHARE_DEVICE:
            m_core->UnshareDevice(q.deviceId);
            reply.U32(1);
            break;
        case CORE_REQ_SET_TCP_PORT:
            m_core->SetTcpPort(static_cast<uint16_t>(q.value));
            reply.U32(1);
            break;
        case CORE_REQ_GET_STARTUP_STATE:
            reply.U32(1);
            reply.U32(m_core->GetStartupState());
            break;
        case CORE_REQ_SET_DEVICE_TIMEOUT:
            m_core->SetDeviceTimeout(q.deviceId, q.value);
            reply.U32(1);
            break;
        case CORE_REQ_SET_DEVICE_NICKNAME:
            m_core->SetDeviceNickname(q.deviceId, q.text);
            reply.U32(1);
            break;
        case CORE_REQ_GET_IP_FILTERS: {
            uint8_t mode = 0;
            std::vector<std::string> rules;
            m_core->GetIpFilters(&mode, &rules);
            reply.U32(1);
            reply.U8(mode);
            reply.U32(static_cast<uint32_t>(rules.size()));
            for (const std::string& rule : rules)
                reply.Text(rule);
            break;
        }
        case CORE_REQ_SET_IP_FILTERS:
            m_core->SetIpFilters(q.mode, q.rules);
            reply.U32(1);
            break;
        case CORE_REQ_CONNECT_DEVICE:
            m_core->ConnectDevice(q.deviceId, q.value);
            reply.U32(1);
            break;
        case CORE_REQ_DISCONNECT_DEVICE:
            m_core->DisconnectDevice(q.deviceId);
            reply.U32(1);
            break;
        case CORE_REQ_ADD_CALLBACK: {
            uint32_t id = m_core->AddCallbackConnection(q.text, q.port, q.kind);
            reply.U32(1);
            reply.U32(id);
            break;
        }
        case CORE_REQ_REMOVE_CALLBACK:
            m_core->RemoveCallbackConnection(q.value);
            reply.U32(1);
            break;
        case CORE_REQ_SET_LISTEN_ADDRESS:
            m_core->SetListenAddress(q.address);
            reply.U32(1);
            break;
        case CORE_REQ_SET_DEVICE_RESET_METHOD:
            m_core->SetDeviceResetMethod(q.deviceId, q.value);
            reply.U32(1);
            break;
        case CORE_REQ_GET_DEVICE_ACL: {
            uint8_t mode = 0;
            std::vector<std::string> rules;
            m_core->GetDeviceAcl(q.deviceId, &mode, &rules);
            reply.U32(1);
            reply.U8(mode);
            reply.U32(static_cast<uint32_t>(rules.size()));
            for (const std::string& rule : rules)
                reply.Text(rule);
            break;
        }
        case CORE_REQ_SET_DEVICE_ACL:
            m_core->SetDeviceAcl(q.deviceId, q.mode, q.rules);
            reply.U32(1);
            break;
        case CORE_REQ_GET_DEVICE_DATA: {
            std::vector<uint8_t> block;
            m_core->GetDeviceData(q.deviceId, &block);
            if (!block.empty() && !DeviceDataIsWhole(block))
                throw new CExceptionEx(MODULE_USBCOREIFACE, CORE_LINE_DEVICE_DATA, ERROR_INVALID_DATA);
            reply.U32(1);
            reply.U32(static_cast<uint32_t>(block.size()));
            reply.Bytes(block.data(), block.size());
            break;
        }
        case CORE_REQ_SET_AUTO_SHARE_MODE:
            m_core->SetAutoShareMode(q.value);
            reply.U32(1);
            break;
        case CORE_REQ_GET_DEVICE_INSTANCE_ID: {
            std::string text;
            m_core->GetDeviceInstanceId(q.serverId, q.deviceId, &text);
            reply.U32(1);
            reply.Text(text);
            break;
        }
        case CORE_REQ_ADD_EXCLUSION:
            m_core->AddExclusion(q.serverId, q.deviceId);
            reply.U32(1);
            break;
        case CORE_REQ_REMOVE_EXCLUSION:
            m_core->RemoveExclusion(q.serverId, q.deviceId);
            reply.U32(1);
            break;
        case CORE_REQ_SET_OBJECT_FLAGS:
            m_core->SetObjectFlags(q.deviceId, q.value);
            reply.U32(1);
            break;
        case CORE_REQ_GET_VERSION:
            reply.U32(1);
            reply.U32(CORE_VERSION);
            reply.Text(CORE_PRODUCT_NAME);
            break;
        case CORE_REQ_REGISTER_NOTIFY_QUEUE:
            reply.U32(static_cast<uint32_t>(
                m_core->RegisterNotifyQueue(static_cast<int>(q.value), connection->GetPeer())));
            break;
        case CORE_REQ_UNREGISTER_NOTIFY_QUEUE:
            m_core->UnregisterNotifyQueue(static_cast<int>(q.value), connection->GetPeer());
            reply.U32(1);
            break;
        case CORE_REQ_GET_DEVICE_POLICY: {
            // A selector other than this daemon's gets mode 0 and no rules.
            uint8_t mode = 0;
            std::vector<DevicePolicyRule> rules;
            m_core->GetDevicePolicy(q.selector, &mode, &rules);
            reply.U32(1);
            reply.U8(mode);
            reply.U32(static_cast<uint32_t>(rules.size()));
            if (!send())
                return;
            // The client says whether it has room for the rules.
            std::vector<uint8_t> answer(input.begin() + static_cast<std::ptrdiff_t>(parsed.used), input.end());
            if (!connection->Fill(&answer, 4) || (answer[0] | answer[1] | answer[2] | answer[3]) == 0)
                return;
            reply.Clear();
            for (const DevicePolicyRule& rule : rules)
                reply.PolicyRule(rule);
            break;
        }
        case CORE_REQ_SET_DEVICE_POLICY:
            m_core->SetDevicePolicy(q.selector, q.mode, q.policyRules);
            reply.U32(1);
            break;
        }
    } catch (CExceptionEx* error) {
        m_core->LogDebug(error->GetModule(), error->GetLine(), error->GetError());
        reply.Clear();
        reply.U32(0);
        reply.Record(*error);
        delete error;
    }
    send();
}
