#include "ovusbd/core/netlinkaddress.h"

#include <errno.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>

namespace {

size_t align4(size_t length) {
    return (length + 3) & ~size_t(3);
}

} // namespace

int parseAddressMessages(const uint8_t* bytes, size_t length, AddressEvent* events, int maxEvents, int* stored) {
    *stored = 0;
    size_t offset = 0;
    while (offset < length) {
        nlmsghdr header;
        if (length - offset < sizeof header) {
            return -EPROTO;
        }
        memcpy(&header, bytes + offset, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > length - offset) {
            return -EPROTO;
        }
        if (header.nlmsg_type == NLMSG_DONE) {
            break;
        }
        const uint8_t* message = bytes + offset + sizeof header;
        const size_t messageLength = header.nlmsg_len - sizeof header;
        if (header.nlmsg_type == RTM_NEWADDR || header.nlmsg_type == RTM_DELADDR) {
            ifaddrmsg info;
            if (messageLength < sizeof info) {
                return -EPROTO;
            }
            memcpy(&info, message, sizeof info);
            size_t at = align4(sizeof info);
            while (info.ifa_family == AF_INET && at < messageLength) {
                rtattr attribute;
                if (messageLength - at < sizeof attribute) {
                    return -EPROTO;
                }
                memcpy(&attribute, message + at, sizeof attribute);
                if (attribute.rta_len < sizeof attribute || attribute.rta_len > messageLength - at) {
                    return -EPROTO;
                }
                if (attribute.rta_type == IFA_LOCAL) {
                    if (attribute.rta_len != sizeof attribute + 4) {
                        return -EPROTO;
                    }
                    if (*stored < maxEvents) {
                        AddressEvent& event = events[(*stored)++];
                        event.added = header.nlmsg_type == RTM_NEWADDR;
                        event.interfaceIndex = int(info.ifa_index);
                        memcpy(&event.address, message + at + sizeof attribute, 4);
                    }
                }
                at += align4(attribute.rta_len);
            }
        }
        offset += align4(header.nlmsg_len);
    }
    return *stored;
}

bool updateAddressSet(AddressSet* set, const AddressEvent* event) {
    int found = -1;
    for (int i = 0; i < set->count; i++) {
        if (set->entries[i].interfaceIndex == event->interfaceIndex && set->entries[i].address == event->address) {
            found = i;
            break;
        }
    }
    if (!event->added) {
        if (found >= 0) {
            memmove(&set->entries[found], &set->entries[found + 1],
                    sizeof set->entries[0] * size_t(set->count - found - 1));
            set->count--;
        }
        return false;
    }
    if (found >= 0) {
        return false;
    }
    if (set->count == kMaxKnownAddresses) {
        memmove(&set->entries[0], &set->entries[1], sizeof set->entries[0] * size_t(set->count - 1));
        set->count--;
    }
    set->entries[set->count].interfaceIndex = event->interfaceIndex;
    set->entries[set->count].address = event->address;
    set->count++;
    return true;
}
