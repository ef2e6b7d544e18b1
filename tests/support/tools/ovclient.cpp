// Command-line front end of the test protocol client.
//   ovclient HOST PORT hello [NAME [DETAIL]]
//   ovclient HOST PORT list
//   ovclient HOST PORT bind ADDRESS | unbind ADDRESS
//   ovclient HOST PORT watch SECONDS      (prints every message; sends keep-alives)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "tests/support/ovclient.h"

using namespace ovclient;

static int usage() {
    fprintf(stderr,
            "usage: ovclient HOST PORT hello [NAME [DETAIL]] | list | bind ADDRESS | unbind ADDRESS | watch SECONDS\n");
    return 2;
}

static void printHex(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        printf("%02x", p[i]);
    }
}

int main(int argc, char** argv) {
    if (argc < 4) {
        return usage();
    }
    const std::string host = argv[1];
    const int port = atoi(argv[2]);
    const std::string command = argv[3];
    OvClient client;
    if (!client.connectTo(host, uint16_t(port))) {
        fprintf(stderr, "cannot connect to %s port %d\n", host.c_str(), port);
        return 1;
    }
    if (command == "hello") {
        HelloReply reply;
        if (!client.hello(argc > 4 ? argv[4] : "ovclient", argc > 5 ? argv[5] : "", &reply)) {
            fprintf(stderr, "no hello reply\n");
            return 1;
        }
        printf("name=%s\nserial=%s\nhost=%s\ninterface=%s\nversion=%u.%u.%u\nremoteAdmin=%u\nuuid=",
               reply.serverName.c_str(), reply.serverSerial.c_str(), reply.hostName.c_str(),
               reply.interfaceName.c_str(), reply.version[0], reply.version[1], reply.version[2], reply.remoteAdmin);
        printHex(reply.uuid, 16);
        printf("\n");
        return 0;
    }
    if (command == "list") {
        std::vector<DeviceAnnouncement> devices;
        if (!client.listDevices(&devices)) {
            return 1;
        }
        for (const auto& d : devices) {
            printf("%u %04x:%04x state=%u %s %s nickname=%s\n", d.address, d.vendorId, d.productId, d.state,
                   d.manufacturer.c_str(), d.product.c_str(), d.nickname.c_str());
        }
        printf("%zu device(s)\n", devices.size());
        return 0;
    }
    if ((command == "bind" || command == "unbind") && argc > 4) {
        const uint32_t address = uint32_t(strtoul(argv[4], nullptr, 10));
        if (command == "unbind") {
            return client.unbind(address) ? 0 : 1;
        }
        BindResult result;
        if (!client.bind(address, &result)) {
            fprintf(stderr, "no bind result\n");
            return 1;
        }
        printf("result=%d speed=%u product=%s serial=%s\n", result.result, result.speed, result.product.c_str(),
               result.serial.c_str());
        return result.result == 1 ? 0 : 1;
    }
    if (command == "watch" && argc > 4) {
        client.skipPings = false;
        const time_t end = time(nullptr) + atoi(argv[4]);
        while (time(nullptr) < end) {
            Message m;
            int rc = client.receive(&m, 1000);
            if (rc < 0) {
                printf("closed\n");
                return 1;
            }
            if (rc > 0) {
                printf("type=%u address=%u payload=%zu compressed=%u\n", m.type, m.deviceAddress, m.payload.size(),
                       m.wireCompressedLength);
                fflush(stdout);
            }
            client.keepAlive();
        }
        return 0;
    }
    return usage();
}
