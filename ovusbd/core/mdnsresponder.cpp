#include "ovusbd/core/mdnsresponder.h"

#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>
#include <avahi-core/core.h>
#include <avahi-core/log.h>
#include <avahi-core/publish.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ovusbd/core/log.h"

struct MdnsResponder {
    AvahiSimplePoll* poll;
    AvahiServer* server;
    AvahiSEntryGroup* group;
    bool wanted;        // announce was called and withdraw not since
    char name[128];     // the instance name in use
    char type[32];
    char txt[256];
    bool hasTxt;
    int port;
};

namespace {

void discardLog(AvahiLogLevel, const char*) {}

void groupCallback(AvahiServer* server, AvahiSEntryGroup* group, AvahiEntryGroupState state, void* userdata);

// Adds the service to a fresh or reset group and commits it.
int registerService(MdnsResponder* r) {
    if (r->group == nullptr) {
        r->group = avahi_s_entry_group_new(r->server, groupCallback, r);
        if (r->group == nullptr) {
            return avahi_server_errno(r->server);
        }
    }
    int rc = avahi_server_add_service(r->server, r->group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                      r->name, r->type, nullptr, nullptr, uint16_t(r->port),
                                      r->hasTxt ? r->txt : nullptr, nullptr);
    if (rc == AVAHI_OK) {
        rc = avahi_s_entry_group_commit(r->group);
    }
    if (rc != AVAHI_OK) {
        logMessage(3, "There was an error registering the dnssd service %ld", long(rc));
    }
    return rc;
}

void groupCallback(AvahiServer*, AvahiSEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
    auto* r = static_cast<MdnsResponder*>(userdata);
    if (group != r->group) {
        return;
    }
    if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        char* alternative = avahi_alternative_service_name(r->name);
        if (alternative == nullptr) {
            logMessage(3, "Error %d renaming dnssd service", AVAHI_ERR_NO_MEMORY);
            return;
        }
        snprintf(r->name, sizeof r->name, "%s", alternative);
        avahi_free(alternative);
        avahi_s_entry_group_reset(r->group);
        const int rc = registerService(r);
        if (rc != AVAHI_OK) {
            logMessage(3, "Error %d renaming dnssd service", rc);
        }
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        logMessage(4, "mdns callback: %s Unknown Status %ld", r->name, long(avahi_server_errno(r->server)));
    }
}

void serverCallback(AvahiServer* server, AvahiServerState state, void* userdata) {
    auto* r = static_cast<MdnsResponder*>(userdata);
    // avahi 0.8 can report a state the server has already left (a callback
    // queued before a host-name change); acting on it would register into
    // a server that is registering again, and the service would never be
    // published.
    if (state != avahi_server_get_state(server)) {
        return;
    }
    if (r->server == nullptr) {
        r->server = server;  // called from within avahi_server_new
    }
    switch (state) {
    case AVAHI_SERVER_RUNNING:
        if (r->wanted && (r->group == nullptr || avahi_s_entry_group_is_empty(r->group))) {
            registerService(r);
        }
        break;
    case AVAHI_SERVER_COLLISION: {
        char* alternative = avahi_alternative_host_name(avahi_server_get_host_name(server));
        if (alternative != nullptr) {
            avahi_server_set_host_name(server, alternative);
            avahi_free(alternative);
        }
        break;
    }
    case AVAHI_SERVER_REGISTERING:
        // The host name changes: the records are made again once running.
        if (r->group != nullptr) {
            avahi_s_entry_group_reset(r->group);
        }
        break;
    default:
        break;
    }
}

} // namespace

MdnsResponder* mdnsResponderStart(int* error) {
    avahi_set_log_function(discardLog);
    auto* r = static_cast<MdnsResponder*>(calloc(1, sizeof(MdnsResponder)));
    if (r == nullptr) {
        *error = AVAHI_ERR_NO_MEMORY;
        return nullptr;
    }
    r->poll = avahi_simple_poll_new();
    if (r->poll == nullptr) {
        free(r);
        *error = AVAHI_ERR_NO_MEMORY;
        return nullptr;
    }
    AvahiServerConfig config;
    avahi_server_config_init(&config);
    config.publish_workstation = 0;
    config.publish_hinfo = 0;
    config.publish_domain = 0;
    config.enable_wide_area = 0;
    AvahiServer* server = avahi_server_new(avahi_simple_poll_get(r->poll), &config, serverCallback, r, error);
    avahi_server_config_free(&config);
    if (server == nullptr) {
        avahi_simple_poll_free(r->poll);
        free(r);
        return nullptr;
    }
    r->server = server;
    return r;
}

int mdnsResponderAnnounce(MdnsResponder* r, const MdnsService* service) {
    snprintf(r->name, sizeof r->name, "%s", service->name);
    snprintf(r->type, sizeof r->type, "%s", service->type);
    r->hasTxt = service->txt != nullptr;
    snprintf(r->txt, sizeof r->txt, "%s", service->txt != nullptr ? service->txt : "");
    r->port = service->port;
    r->wanted = true;
    if (avahi_server_get_state(r->server) != AVAHI_SERVER_RUNNING) {
        return AVAHI_OK;  // the server callback registers once running
    }
    if (r->group != nullptr) {
        avahi_s_entry_group_reset(r->group);
    }
    return registerService(r);
}

int mdnsResponderIterate(MdnsResponder* r, int timeoutMs) {
    const int rc = avahi_simple_poll_iterate(r->poll, timeoutMs);
    return rc < 0 ? -1 : 0;
}

void mdnsResponderWithdraw(MdnsResponder* r) {
    r->wanted = false;
    if (r->group == nullptr) {
        return;
    }
    avahi_s_entry_group_free(r->group);
    r->group = nullptr;
    // Freeing the group queues the goodbyes; give the loop a moment to
    // send them before anything else goes.
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        if (avahi_simple_poll_iterate(r->poll, 50) < 0) {
            break;
        }
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < 300);
}

void mdnsResponderStop(MdnsResponder* r) {
    if (r == nullptr) {
        return;
    }
    mdnsResponderWithdraw(r);
    avahi_server_free(r->server);
    avahi_simple_poll_free(r->poll);
    free(r);
}

const char* mdnsResponderServiceName(const MdnsResponder* r) {
    return r->name;
}
