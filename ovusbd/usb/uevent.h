// Pure parsers for uevents: the datagrams of the kernel's uevent netlink
// socket (kernel and libudev formats) and the KEY=value text of a device's
// sysfs "uevent" file. No sockets, no globals.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Bytes the monitor receives of one datagram; longer datagrams are cut.
constexpr size_t kUeventDatagramSize = 512;

struct UeventEvent {
  bool add;                            // true add, false remove
  char path[kUeventDatagramSize + 1];  // sysfs path as the kernel gives it
};

// Results of the datagram parsers.
constexpr int kUeventUsable = 1;   // an add or remove event, *event filled
constexpr int kUeventIgnored = 0;  // well formed but not ours (other action, other format)
// Negative: -EBADMSG malformed, -EMSGSIZE the needed part lies beyond the
// bytes received (a cut or lying datagram).

// Kernel format: "action@devpath" up to the first NUL or newline, then
// NUL-separated variables that are not read. `length` is the number of bytes
// actually received; nothing beyond it is read.
int parseKernelUevent(const uint8_t* data, size_t length, UeventEvent* event);

// libudev format: "libudev\0", the magic 0xfeedcafe (big-endian) at offset
// 8, the properties offset at 16 (host order), then NUL-terminated
// properties of which the first must be "ACTION=add" or "ACTION=remove" and
// the second "DEVPATH=...".
int parseUdevDatagram(const uint8_t* data, size_t length, UeventEvent* event);

// Width of the value buffer of ueventValue, terminator included.
constexpr size_t kUeventValueSize = 128;

// Value of KEY in a uevent text ("KEY=value" lines): a new 128-byte
// zero-filled buffer holding at most 127 characters of the value, or null
// when the key is absent or memory runs out. The caller frees it. `text`
// must be NUL-terminated; the last line needs no newline.
char* ueventValue(const char* text, const char* key);
