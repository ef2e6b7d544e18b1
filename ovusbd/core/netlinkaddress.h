// Address changes reported by the kernel on NETLINK_ROUTE (group
// RTMGRP_IPV4_IFADDR), and the set of addresses the responder has seen.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct AddressEvent {
    bool added;          // RTM_NEWADDR; false for RTM_DELADDR
    int interfaceIndex;
    uint32_t address;    // IFA_LOCAL, network order
};

// Walks the netlink messages of one datagram in this order of checks: a
// whole nlmsghdr is left; its length is at least the header and at most
// what is left; NLMSG_DONE ends the walk; for RTM_NEWADDR and RTM_DELADDR
// of family AF_INET a whole ifaddrmsg follows; then each attribute's header
// is whole, its length at least the header and within the message, and an
// IFA_LOCAL carries 4 bytes. Each message and attribute starts 4-aligned.
// Stores at most maxEvents events and returns how many, or -EPROTO when the
// datagram breaks a rule (the events before the fault are kept).
int parseAddressMessages(const uint8_t* bytes, size_t length, AddressEvent* events, int maxEvents,
                         int* stored);

// The IPv4 addresses known on the machine. A kernel reports an unchanged
// address again (a DHCP lease renewal sends RTM_NEWADDR with the same
// address), which must not count as a new one.
constexpr int kMaxKnownAddresses = 256;
struct AddressSet {
    int count;
    struct {
        int interfaceIndex;
        uint32_t address;
    } entries[kMaxKnownAddresses];
};

// Applies one event. True when it brought an address that was not there
// before; a deletion forgets the address. A full set forgets its oldest
// entry.
bool updateAddressSet(AddressSet* set, const AddressEvent* event);
