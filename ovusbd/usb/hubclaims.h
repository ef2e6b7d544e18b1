// Claims of hub ports by the configuration, so that host drivers never see
// the devices plugged into them (USBDEVFS_CLAIM_PORT: the kernel then binds
// no driver to a device on that port). "ClaimPorts" claims every port of
// every hub found at start-up; "ClaimPort" names single ports by the address
// a device on the port would have ("113": port 3 of the hub with address
// 11). A claim lasts while the hub's descriptor, kept in claimedHubs, is
// open.
#pragma once

#include "ovusbd/usb/parenthub.h"

// For a hub found by discovery: applies the claim rules. True when a rule
// took the hub, and discovery goes no further with it; false when no rule
// names it. Runs on the discovery threads under deviceLifecycleMutex.
bool claimHubByRule(const char* ueventText, const char* sysfsPath, int hotplugged);

// USBDEVFS_CLAIM_PORT of one port; a failure is logged. Returns 0 or -errno.
int claimHubPort(int hubFd, unsigned port);
