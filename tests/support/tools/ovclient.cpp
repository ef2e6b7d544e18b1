// Command-line front end of the test protocol client.
//   ovclient HOST PORT hello [NAME [DETAIL]]
//   ovclient HOST PORT list
//   ovclient HOST PORT bind ADDRESS | unbind ADDRESS
//   ovclient HOST PORT watch SECONDS      (prints every message; sends keep-alives)
// Device requests bind ADDRESS first on the same connection (a binding ends
// with the connection), send one request and print its reply. Numbers take
// 0x for hex; DATA is hex bytes; an IN endpoint (bit 7) takes a LENGTH.
//   control ADDRESS BMREQUESTTYPE BREQUEST WVALUE WINDEX WLENGTH [DATA]
//   bulk|interrupt ADDRESS ENDPOINT LENGTH|DATA [TIMEOUTMS]
//   stream ADDRESS ENDPOINT STREAMID LENGTH|DATA
//   iso|isopacked ADDRESS ENDPOINT PACKETS PACKETSIZE [TIMEOUTMS]
//   hub ADDRESS BMREQUESTTYPE BREQUEST WVALUE WINDEX WLENGTH [DATA]
//   portstatus ADDRESS | reset ADDRESS | power ADDRESS on|off
//   clearhalt|resetep|abortep|abortresetclearhalt ADDRESS ENDPOINT
//   configure ADDRESS CONFIGURATION [ALTSETTING]...
//   allocstreams ADDRESS STREAMS ENDPOINT... | freestreams ADDRESS ENDPOINT...
//   readdisk ADDRESS ENDPOINTIN ENDPOINTOUT MIB CHUNKBYTES [SERVERPID]
//       reads MIB MiB from a mass-storage device with READ(10) of CHUNKBYTES
//       each and prints "MB/s=R", "sum=" (FNV-1a of the disk's first MiB),
//       "transfers=" and the context switches of this client while it read
//       ("clientvoluntary=", "clientinvoluntary="); with SERVERPID also those
//       of all that process's threads ("servervoluntary=",
//       "serverinvoluntary=").
// Exit status: 0 reply with a status of 0 or more, 3 reply with a negative
// status, 1 no reply, 2 usage.
#include <dirent.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "tests/support/bulkonly.h"
#include "tests/support/ovclient.h"

using namespace ovclient;

namespace {

int usage() {
    fprintf(stderr,
            "usage: ovclient HOST PORT hello [NAME [DETAIL]] | list | bind ADDRESS | unbind ADDRESS | watch SECONDS\n"
            "  | control ADDRESS BMREQUESTTYPE BREQUEST WVALUE WINDEX WLENGTH [DATA]\n"
            "  | bulk|interrupt ADDRESS ENDPOINT LENGTH|DATA [TIMEOUTMS] | stream ADDRESS ENDPOINT STREAMID LENGTH|DATA\n"
            "  | iso|isopacked ADDRESS ENDPOINT PACKETS PACKETSIZE [TIMEOUTMS]\n"
            "  | hub ADDRESS BMREQUESTTYPE BREQUEST WVALUE WINDEX WLENGTH [DATA]\n"
            "  | portstatus ADDRESS | reset ADDRESS | power ADDRESS on|off\n"
            "  | clearhalt|resetep|abortep|abortresetclearhalt ADDRESS ENDPOINT\n"
            "  | configure ADDRESS CONFIGURATION [ALTSETTING]...\n"
            "  | allocstreams ADDRESS STREAMS ENDPOINT... | freestreams ADDRESS ENDPOINT...\n"
            "  | readdisk ADDRESS ENDPOINTIN ENDPOINTOUT MIB CHUNKBYTES [SERVERPID]\n");
    return 2;
}

void printHex(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        printf("%02x", p[i]);
    }
}

bool number(const char* text, unsigned long max, unsigned long* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || value > max) {
        return false;
    }
    *out = value;
    return true;
}

bool hexBytes(const char* text, std::vector<uint8_t>* out) {
    const size_t n = strlen(text);
    if (n % 2 != 0) {
        return false;
    }
    out->clear();
    for (size_t i = 0; i < n; i += 2) {
        char pair[3] = {text[i], text[i + 1], 0};
        char* end = nullptr;
        long value = strtol(pair, &end, 16);
        if (*end != '\0') {
            return false;
        }
        out->push_back(uint8_t(value));
    }
    return true;
}

// argv from index first as numbers within max; false on any bad one.
bool numbers(int argc, char** argv, int first, int count, unsigned long max, unsigned long* out) {
    if (argc < first + count) {
        return false;
    }
    for (int i = 0; i < count; i++) {
        if (!number(argv[first + i], max, &out[i])) {
            return false;
        }
    }
    return true;
}

int statusExit(int32_t status) {
    return status < 0 ? 3 : 0;
}

bool parseSetup(int argc, char** argv, SetupPacket* setup, std::vector<uint8_t>* data) {
    unsigned long v[5];
    if (!numbers(argc, argv, 5, 5, 0xffff, v) || v[0] > 0xff || v[1] > 0xff) {
        return false;
    }
    *setup = {uint8_t(v[0]), uint8_t(v[1]), uint16_t(v[2]), uint16_t(v[3]), uint16_t(v[4])};
    data->clear();
    if (!setup->in()) {
        if (argc > 10 && !hexBytes(argv[10], data)) {
            return false;
        }
        if (data->size() != setup->length) {
            fprintf(stderr, "an OUT request carries WLENGTH data bytes\n");
            return false;
        }
    }
    return true;
}

// LENGTH for an IN endpoint, DATA for an OUT one.
bool lengthOrData(uint8_t endpoint, const char* text, BulkRequest* r) {
    if (endpoint & 0x80) {
        unsigned long length;
        if (!number(text, kMaxLength, &length)) {
            return false;
        }
        r->length = uint32_t(length);
        return true;
    }
    return hexBytes(text, &r->outData);
}

int printTransfer(const TransferReply& reply) {
    printf("result=%d\ndata=", reply.result);
    printHex(reply.data.data(), reply.data.size());
    printf("\n");
    return statusExit(reply.result);
}

struct Switches {
    unsigned long long voluntary = 0, involuntary = 0;
};

// The context switches of every present thread of process pid, from
// /proc/PID/task/*/status. A thread that ends between two samples takes its
// count with it: sample while the threads of interest live.
Switches processSwitches(unsigned long pid) {
    Switches total;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) {
        return total;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        FILE* f = fopen((tasks + "/" + entry->d_name + "/status").c_str(), "r");
        if (f == nullptr) {
            continue;
        }
        char line[256];
        unsigned long long n = 0;
        while (fgets(line, sizeof line, f) != nullptr) {
            if (sscanf(line, "voluntary_ctxt_switches: %llu", &n) == 1) {
                total.voluntary += n;
            } else if (sscanf(line, "nonvoluntary_ctxt_switches: %llu", &n) == 1) {
                total.involuntary += n;
            }
        }
        fclose(f);
    }
    closedir(dir);
    return total;
}

Switches ownSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return {static_cast<unsigned long long>(usage.ru_nvcsw), static_cast<unsigned long long>(usage.ru_nivcsw)};
}

int readDisk(OvClient& client, uint32_t address, int argc, char** argv) {
    unsigned long v[4];
    unsigned long serverPid = 0;
    if (!numbers(argc, argv, 5, 4, 0xffffffff, v) || v[0] > 0xff || v[1] > 0xff ||
        (argc > 9 && !number(argv[9], 0x7fffffff, &serverPid))) {
        return usage();
    }
    bulkonly::Session disk(bulkPipes(client, address, uint8_t(v[0]), uint8_t(v[1])));
    double rate = 0;
    uint64_t sum = 0;
    const Switches server = serverPid != 0 ? processSwitches(serverPid) : Switches{};
    const Switches own = ownSwitches();
    if (!disk.readThroughput(uint32_t(v[2]), uint32_t(v[3]), &rate, &sum)) {
        fprintf(stderr, "disk: %s\n", disk.error().c_str());
        return 1;
    }
    const Switches ownAfter = ownSwitches();
    printf("MB/s=%.2f\nsum=%016llx\ntransfers=%llu\nclientvoluntary=%llu\nclientinvoluntary=%llu\n", rate,
           static_cast<unsigned long long>(sum), static_cast<unsigned long long>(disk.transfers),
           ownAfter.voluntary - own.voluntary, ownAfter.involuntary - own.involuntary);
    if (serverPid != 0) {
        const Switches serverAfter = processSwitches(serverPid);
        printf("servervoluntary=%llu\nserverinvoluntary=%llu\n", serverAfter.voluntary - server.voluntary,
               serverAfter.involuntary - server.involuntary);
    }
    fflush(stdout);
    // A binding outlives a closed connection until the server notices; the
    // next reader must find the device free.
    Message notice;
    return client.unbind(address) && client.waitFor(kMsgDeviceUnbound, &notice, 30000) ? 0 : 1;
}

int deviceRequest(OvClient& client, const std::string& command, int argc, char** argv) {
    unsigned long a;
    if (argc < 5 || !number(argv[4], 0xffffffff, &a)) {
        return usage();
    }
    const uint32_t address = uint32_t(a);
    BindResult bound;
    if (!client.bind(address, &bound, 30000)) {
        fprintf(stderr, "no bind result\n");
        return 1;
    }
    if (bound.result != 1) {
        fprintf(stderr, "bind result %d\n", bound.result);
        return 1;
    }
    unsigned long v[4];
    if (command == "control" || command == "hub") {
        SetupPacket setup;
        std::vector<uint8_t> data;
        if (!parseSetup(argc, argv, &setup, &data)) {
            return usage();
        }
        if (command == "hub") {
            TransferReply reply;
            if (!client.hubClassRequest(address, setup, data, &reply, 30000)) {
                return 1;
            }
            return printTransfer(reply);
        }
        ControlReply reply;
        if (!client.controlTransfer(address, setup, data, &reply, 30000)) {
            return 1;
        }
        printf("status=%d\nactual=%u\ndata=", reply.status, reply.actualLength);
        printHex(reply.data.data(), reply.data.size());
        printf("\n");
        return statusExit(reply.status);
    }
    if (command == "bulk" || command == "interrupt" || command == "stream") {
        const bool stream = command == "stream";
        BulkRequest r;
        if (!numbers(argc, argv, 5, stream ? 2 : 1, 0xffffffff, v) || v[0] > 0xff) {
            return usage();
        }
        r.endpoint = uint8_t(v[0]);
        r.urbType = command == "interrupt" ? kUrbTypeInterrupt : kUrbTypeBulk;
        r.stream = stream;
        r.streamId = stream ? uint32_t(v[1]) : 0;
        const int at = stream ? 7 : 6;
        unsigned long timeout = 30000;
        if (argc <= at || !lengthOrData(r.endpoint, argv[at], &r) ||
            (argc > at + 1 && !number(argv[at + 1], 3600000, &timeout))) {
            return usage();
        }
        TransferReply reply;
        if (!client.bulkTransfer(address, r, &reply, int(timeout))) {
            fprintf(stderr, "no reply\n");
            return 1;
        }
        return printTransfer(reply);
    }
    if (command == "iso" || command == "isopacked") {
        unsigned long timeout = 30000;
        if (!numbers(argc, argv, 5, 3, 0xffffff, v) || v[0] > 0xff || v[1] == 0 || v[1] > 1024 ||
            (argc > 8 && !number(argv[8], 3600000, &timeout))) {
            return usage();
        }
        IsoRequest r;
        r.endpoint = uint8_t(v[0]);
        r.packed = command == "isopacked";
        r.packetLengths.assign(v[1], uint32_t(v[2]));
        if ((r.endpoint & 0x80) == 0) {
            r.outData.resize(r.totalLength());
            for (size_t i = 0; i < r.outData.size(); i++) {
                r.outData[i] = uint8_t(i);
            }
        }
        IsoReply reply;
        if (!client.isoTransfer(address, r, &reply, int(timeout))) {
            fprintf(stderr, "no reply\n");
            return 1;
        }
        printf("result=%d\nerrors=%u\ntype=%u\n", reply.result, reply.errorCount, reply.packed ? 76u : 37u);
        for (size_t i = 0; i < reply.packets.size(); i++) {
            std::vector<uint8_t> bytes = reply.packetData(i);
            printf("packet=%zu length=%u actual=%u status=%d data=", i, reply.packets[i].length,
                   reply.packets[i].actualLength, int32_t(reply.packets[i].status));
            printHex(bytes.data(), bytes.size());
            printf("\n");
        }
        return statusExit(reply.result);
    }
    if (command == "portstatus") {
        PortStatusReply reply;
        if (!client.portStatus(address, &reply, 30000)) {
            return 1;
        }
        printf("result=%d\nportstatus=0x%04x\n", reply.result, reply.portStatus);
        return statusExit(reply.result);
    }
    if (command == "readdisk") {
        return readDisk(client, address, argc, argv);
    }
    StatusRequest r;
    if (command == "reset") {
        r = deviceResetRequest();
    } else if (command == "power" && argc > 5) {
        r = portPowerRequest(strcmp(argv[5], "on") == 0);
    } else if (command == "configure" && numbers(argc, argv, 5, 1, 0xff, v)) {
        std::vector<uint8_t> alts;
        for (int i = 6; i < argc; i++) {
            unsigned long alt;
            if (!number(argv[i], 0xff, &alt) || alts.size() == 16) {
                return usage();
            }
            alts.push_back(uint8_t(alt));
        }
        r = resetAndConfigureRequest(uint8_t(v[0]), alts);
    } else if ((command == "allocstreams" || command == "freestreams") && argc > 5) {
        const bool alloc = command == "allocstreams";
        unsigned long streams = 0;
        if (alloc && !number(argv[5], 0xffffffff, &streams)) {
            return usage();
        }
        std::vector<uint8_t> endpoints;
        for (int i = alloc ? 6 : 5; i < argc; i++) {
            unsigned long ep;
            if (!number(argv[i], 0xff, &ep)) {
                return usage();
            }
            endpoints.push_back(uint8_t(ep));
        }
        r = alloc ? allocStreamsRequest(uint32_t(streams), endpoints) : freeStreamsRequest(endpoints);
    } else if (numbers(argc, argv, 5, 1, 0xff, v)) {
        if (command == "clearhalt") {
            r = clearHaltRequest(uint32_t(v[0]));
        } else if (command == "resetep") {
            r = resetEndpointRequest(uint32_t(v[0]));
        } else if (command == "abortep") {
            r = abortEndpointRequest(uint32_t(v[0]));
        } else if (command == "abortresetclearhalt") {
            r = abortResetClearHaltRequest(uint32_t(v[0]));
        } else {
            return usage();
        }
    } else {
        return usage();
    }
    int32_t result = 0;
    if (!client.statusRequest(address, r, &result, 30000)) {
        fprintf(stderr, "no reply\n");
        return 1;
    }
    printf("result=%d\n", result);
    return statusExit(result);
}

} // namespace

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
    return deviceRequest(client, command, argc, argv);
}
