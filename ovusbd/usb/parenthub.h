// The parent hub of a device and the hub lists discovery keeps.
#pragma once

#include <stdint.h>

#include "ovusbd/core/lockedlist.h"

// A hub whose ports the server claimed: closing fd releases them all.
struct ClaimedHub {
  int fd;
  char name[256];  // the hub's sysfs path
};

// Hubs whose ports the server claimed, and the paths of hub nodes the server
// made. Made by discovery's start, cleared by its stop.
extern LockedList* claimedHubs;
extern LockedList* createdNodes;

// Destructor of claimedHubs: closes the descriptor and frees the item.
void releaseClaimedHub(void* item, void* unused);

// usbfs node of the parent hub of the device at sysfsPath (a new text), or
// null after logging. When companionOut is given it receives the node of
// the companion hub (the USB 3 half of a USB 2.1 hub: the same name on the
// next bus) or stays null; when containerIdOut is given it receives the 16
// bytes of the hub's Container ID (hubs of version above 2.9 that report
// one in their BOS) or stays null. The caller frees all three.
char* findParentHub(const char* sysfsPath, char** companionOut = nullptr, uint8_t** containerIdOut = nullptr);

// Time-out of the BOS reads of a hub, in milliseconds.
constexpr unsigned kBosQueryTimeoutMs = 500;

// Node of a hub from its uevent text; made (and remembered in createdNodes)
// when missing. A new text or null after logging.
char* hubNodeFromUevent(const char* ueventText);
