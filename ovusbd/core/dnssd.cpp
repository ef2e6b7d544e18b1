#include "ovusbd/core/dnssd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ovusbd/core/avahiservicefile.h"
#include "ovusbd/core/config.h"
#include "ovusbd/core/dnssdname.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/mdnsresponder.h"
#include "ovusbd/core/netlinkaddress.h"

namespace {

bool flag(const uint8_t* f) {
    return __atomic_load_n(f, __ATOMIC_ACQUIRE) != 0;
}
void setFlag(uint8_t* f, uint8_t value) {
    __atomic_store_n(f, value, __ATOMIC_RELEASE);
}

bool isDirectory(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool writeServiceFile(DnssdAnnouncement* a) {
    if (!isDirectory(a->settings.servicesDir)) {
        return false;
    }
    const std::string text = avahiServiceFileText(a->instanceName, a->settings.preferIpv6, a->serviceType,
                                                  a->settings.port, a->settings.serverSerial);
    return writeAvahiServiceFile(a->settings.serviceFile, text);
}

void startResponderThread(DnssdAnnouncement* a) {
    const int rc = pthread_create(&a->mdnsThread, nullptr, mdnsThread, a);
    a->mdnsThreadCreated = rc == 0;
    if (rc != 0) {
        logMessage(3, "Error %d starting the mdns thread, %s", rc, strerror(rc));
    }
}

// The IPv4 addresses present now, so that only a new one counts as a change.
void fillKnownAddresses(AddressSet* set) {
    set->count = 0;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return;
    }
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        AddressEvent event{true, int(if_nametoindex(i->ifa_name)),
                           reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr};
        updateAddressSet(set, &event);
    }
    freeifaddrs(list);
}

} // namespace

void readDnssdSettings(DnssdSettings* settings, const CoreSettings& core, int port) {
    settings->tls = core.sslCertPath != nullptr;
    settings->preferIpv6 = core.preferIpv6;
    settings->avahiDirAtStart = core.avahiDirAtStart;
    settings->port = port;
    settings->serverSerial = core.serverSerial;
    settings->useServiceFile = getConfigBool("UseAVAHIServiceFile", "1");
    settings->servicesDir = kAvahiServicesDir;
    settings->serviceFile = kAvahiServiceFile;
    settings->restartPauseSeconds = 5;
}

DnssdAnnouncement* startDnssdAnnouncement(const DnssdSettings* settings) {
    auto* a = static_cast<DnssdAnnouncement*>(calloc(1, sizeof(DnssdAnnouncement)));
    if (a == nullptr) {
        return nullptr;
    }
    a->settings = *settings;
    char* name = buildDnssdInstanceName(settings->tls);
    char* type = buildDnssdServiceType(settings->tls);
    snprintf(a->instanceName, sizeof a->instanceName, "%s", name != nullptr ? name : "");
    snprintf(a->serviceType, sizeof a->serviceType, "%s", type != nullptr ? type : "");
    free(name);
    free(type);
    if (settings->avahiDirAtStart && settings->useServiceFile) {
        if (writeServiceFile(a)) {
            a->avahiFileWritten = true;
            return a;
        }
        logMessage(6, "Linux AVAHI daemon not installed, using built-in mdns server instead");
    }
    startResponderThread(a);
    return a;
}

void stopDnssdAnnouncement(DnssdAnnouncement* a) {
    if (a == nullptr) {
        return;
    }
    if (a->avahiFileWritten) {
        if (access(a->settings.serviceFile, F_OK) == 0) {
            unlink(a->settings.serviceFile);
        }
    } else {
        setFlag(&a->mdnsStop, 1);
        if (a->mdnsThreadCreated) {
            pthread_join(a->mdnsThread, nullptr);
        }
    }
    free(a);
}

void* mdnsThread(void* argument) {
    auto* a = static_cast<DnssdAnnouncement*>(argument);
    pthread_t watcher;
    const bool watching = pthread_create(&watcher, nullptr, ipChangeThread, a) == 0;
    while (!flag(&a->mdnsStop)) {
        int error = 0;
        MdnsResponder* responder = mdnsResponderStart(&error);
        if (responder == nullptr) {
            logMessage(3, "Error %d initializing the mDNS system", error);
            break;
        }
        setFlag(&a->ipChanged, 0);
        const MdnsService service{a->instanceName, a->serviceType, a->settings.port, a->settings.serverSerial};
        if (mdnsResponderAnnounce(responder, &service) == 0) {
            while (!flag(&a->mdnsStop) && !flag(&a->ipChanged)) {
                if (mdnsResponderIterate(responder, 1000) < 0) {
                    break;
                }
            }
        }
        mdnsResponderStop(responder);
        for (int second = 0; second < a->settings.restartPauseSeconds && !flag(&a->mdnsStop); second++) {
            sleep(1);
        }
    }
    setFlag(&a->ipChangeStop, 1);
    if (watching) {
        pthread_join(watcher, nullptr);
    }
    return nullptr;
}

void* ipChangeThread(void* argument) {
    auto* a = static_cast<DnssdAnnouncement*>(argument);
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) {
        logMessage(4, "Could not open NETLINK_ROUTE, ip-change detection wont work, %d (%s)", errno, strerror(errno));
        return nullptr;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_IFADDR;
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        logMessage(4, "Could not bind NETLINK_ROUTE, ip-change detection wont work, %d (%s)", errno, strerror(errno));
        close(s);
        return nullptr;
    }
    auto* known = static_cast<AddressSet*>(calloc(1, sizeof(AddressSet)));
    auto* buffer = static_cast<uint8_t*>(malloc(4096));
    if (known != nullptr && buffer != nullptr) {
        fillKnownAddresses(known);
        while (!flag(&a->ipChangeStop)) {
            pollfd readable{s, POLLIN, 0};
            const int ready = poll(&readable, 1, 1000);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready < 0) {
                logMessage(3, "ipChange select error %d (%s)", errno, strerror(errno));
                break;
            }
            if (ready == 0) {
                continue;
            }
            const ssize_t got = recv(s, buffer, 4096, MSG_DONTWAIT);
            if (got <= 0) {
                // ENOBUFS: the kernel dropped reports; the set may be stale,
                // so take it afresh.
                if (got < 0 && errno == ENOBUFS) {
                    fillKnownAddresses(known);
                }
                continue;
            }
            AddressEvent events[64];
            int count = 0;
            parseAddressMessages(buffer, size_t(got), events, 64, &count);
            for (int i = 0; i < count; i++) {
                if (updateAddressSet(known, &events[i])) {
                    setFlag(&a->ipChanged, 1);
                }
            }
        }
    }
    free(buffer);
    free(known);
    close(s);
    return nullptr;
}
