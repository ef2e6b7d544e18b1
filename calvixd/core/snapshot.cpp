#include "calvixd/core/snapshot.h"

namespace {

// Device flags shown to control clients; the excluded bit stands for the
// share mode.
constexpr uint32_t DEVICE_INFO_FLAG_MASK = 0x04FFFFFF;
constexpr uint32_t DEVICE_INFO_FLAG_EXCLUDED = 0x2;
constexpr uint32_t CALLBACK_RANGE_FIRST = 0xC0000000;
constexpr uint32_t CALLBACK_RANGE_LAST = 0xCFFFFFFF;

} // namespace

void AppendListenerInfo(const ListenerView& view, std::vector<ConnectionInfo>* out)
{
    ConnectionInfo tcp;
    tcp.id = 0;
    tcp.state = view.tcpState;
    tcp.lastError = view.tcpError;
    tcp.platformCode = view.platformCode;
    tcp.name = view.listenV4.IsValid() ? view.listenV4.ToString() : "";
    tcp.port = view.tcpPort;
    tcp.listenAddress = view.listenV4;
    tcp.flags = CONNECTION_FLAG_TCP;
    if (view.autoShare)
        tcp.flags |= CONNECTION_FLAG_AUTO_SHARE;
    if (view.ipFilterMode == FILTER_MODE_DISABLED)
        tcp.flags |= CONNECTION_FLAG_FILTER_DISABLED;
    else if (view.ipFilterMode == FILTER_MODE_ALLOW)
        tcp.flags |= CONNECTION_FLAG_FILTER_ALLOW;
    out->push_back(tcp);

    // The pipe's clients are not filtered.
    ConnectionInfo pipe;
    pipe.id = 0;
    pipe.state = view.pipeState;
    pipe.lastError = view.pipeError;
    pipe.platformCode = view.platformCode;
    pipe.name = SNAPSHOT_PIPE_NAME;
    pipe.flags = CONNECTION_FLAG_PIPE | CONNECTION_FLAG_FILTER_DISABLED;
    if (view.autoShare)
        pipe.flags |= CONNECTION_FLAG_AUTO_SHARE;
    out->push_back(pipe);
}

void AppendConnectionInfo(const std::map<uint32_t, CallbackEntry>& callbacks,
                          std::vector<ConnectionSnapshot>* connections, std::vector<ConnectionInfo>* out)
{
    for (const auto& [id, entry] : callbacks) {
        ConnectionInfo info;
        info.id = id;
        info.state = 1;
        info.lastError = CExceptionEx(1, 0, 0);
        info.platformCode = 0;
        info.name = entry.host;
        info.port = entry.port;
        info.flags = entry.flags;
        for (auto it = connections->begin(); it != connections->end(); ++it) {
            if (it->connectionId != id)
                continue;
            info.state = it->state;
            info.lastError = it->lastError;
            info.platformCode = it->platformCode;
            info.address = it->clientAddress;
            connections->erase(it);
            break;
        }
        out->push_back(info);
    }
    for (const ConnectionSnapshot& c : *connections) {
        ConnectionInfo info;
        info.id = c.connectionId;
        info.state = c.state;
        info.lastError = CExceptionEx(1, 0, 0);
        info.platformCode = c.platformCode;
        info.name = c.clientName;
        if (info.name.empty() && c.clientAddress.IsValid())
            info.name = c.clientAddress.ToString();
        info.port = c.port;
        info.address = c.clientAddress;
        bool callback = c.connectionId >= CALLBACK_RANGE_FIRST && c.connectionId <= CALLBACK_RANGE_LAST;
        info.flags = callback ? c.callbackFlags | CONNECTION_FLAG_CALLBACK : CONNECTION_FLAG_SESSION;
        info.flags |= c.kind;
        out->push_back(info);
    }
    connections->clear();
}

DeviceInfo MakeDeviceInfo(const UsbDevice& d)
{
    DeviceInfo info;
    info.id = d.id;
    info.state = d.state;
    if (d.HasClient()) {
        info.clientConnectionId = d.clientConnectionId;
        info.clientAddress = d.clientAddress;
    }
    info.flags = d.flags & DEVICE_INFO_FLAG_MASK & ~(DEVICE_INFO_FLAG_EXCLUDED | DEVICE_FLAG_ACL);
    if (d.shareMode == SHARE_MODE_EXCLUDED)
        info.flags |= DEVICE_INFO_FLAG_EXCLUDED;
    if (d.aclMode != 0)
        info.flags |= DEVICE_FLAG_ACL;
    info.timeout = (d.flags & DEVICE_FLAG_TIMEOUT) ? d.timeout : 0;
    info.usbVersion = d.usbVersion;
    info.speed = d.speed;
    info.resetMode = d.resetMode;
    info.shareMode = d.shareMode;
    info.vendorId = d.vendorId;
    info.productId = d.productId;
    info.bcdDevice = d.bcdDevice;
    info.deviceClass = d.deviceClass;
    info.subClass = d.subClass;
    info.protocol = d.protocol;
    info.name = d.name;
    info.nickname = d.nickname;
    info.instanceIdentity = d.instanceIdentity;
    info.serial = d.serial;
    info.port = d.port;
    info.lastError = d.lastError;
    return info;
}
