// Device nodes of USB devices: finding the usbfs node a uevent names, and
// making one where the system has none.
#pragma once

// Node path of a device from its uevent text (DEVICE, else DEVNAME; a
// relative name that does not exist is looked for under /proc and /dev). A
// new text, or null (logged) when the uevent names no node. Caller frees.
char* findNodePath(const char* ueventText);

// Mode of the nodes the server makes: only the server itself opens them.
constexpr unsigned kDeviceNodeMode = 0600;

// Path of a character node major:minor named after `name` ('/' replaced by
// '_') in the -d directory, else the executable's directory, else $HOME,
// else ".". An existing node of the same numbers is used as it is
// (*created = 0); otherwise one is made (*created = 1). A new text, or null
// after logging. Caller frees.
// On failure *error (when given) gets the negative errno.
char* makeDeviceNode(const char* name, unsigned major, unsigned minor, int* created, int* error = nullptr);

// MAJOR and MINOR of a uevent text as numbers. False when either is missing
// or not a plain decimal number.
bool ueventDeviceNumbers(const char* ueventText, unsigned* major, unsigned* minor);
