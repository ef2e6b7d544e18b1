// The parent hub of a device and the hub lists discovery keeps.
#pragma once

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
// null after logging.
char* findParentHub(const char* sysfsPath);

// Node of a hub from its uevent text; made (and remembered in createdNodes)
// when missing. A new text or null after logging.
char* hubNodeFromUevent(const char* ueventText);
