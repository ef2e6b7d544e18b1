// Fuzz entry of calvixd's readers of what the stub driver and the kernel
// hand it: the input is one uevent message as the netlink socket delivers it
// (cut to the listener's buffer), and the same bytes as the text of
// /proc/devices, as a descriptor block and as a filled QueryDeviceString
// block.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "calvixd/net/ravelblocks.h"
#include "calvixd/net/uevent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t received = size < 4096 ? size : 4096;
    // An exact-size copy, so a read past the received bytes is caught.
    char* message = static_cast<char*>(malloc(received ? received : 1));
    if (received)
        memcpy(message, data, received);
    UEvent event;
    if (event.Parse(message, received)) {
        std::string busId;
        std::string path = event.GetDevPath();
        if (BusIdFromDevicePath(path, &busId) && busId.find('/') != std::string::npos)
            abort();
        if (InterfaceFromDevicePath(path, &busId) && busId.find(':') != std::string::npos)
            abort();
        std::string device = event.GetVariable("raveld_cdev_DEV");
        BusIdFromDevicePath(device, &busId);
        if (StubNumberFromDevicePath(path) < -1)
            abort();
        event.GetAction();
        event.GetSubsystem();
        event.GetVariable("raveld_cdev_SUPPRESS");
    }
    ProcDevicesHasRavel(message, received);
    size_t total = DescriptorTotalLength(reinterpret_cast<const uint8_t*>(message), received);
    if (total > 65535)
        abort();
    free(message);

    std::vector<uint8_t> query(data, data + (size < RAVEL_QUERY_SIZE ? size : RAVEL_QUERY_SIZE));
    query.resize(RAVEL_QUERY_SIZE, 0xAA);
    std::string text = QueryBlockText(query.data(), query.size());
    if (text.size() > RAVEL_QUERY_SIZE - RAVEL_DEVICE_HEADER_SIZE - 1)
        abort();
    return 0;
}
