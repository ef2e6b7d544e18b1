// serverSerial: the text that identifies this server machine. At most 36
// characters, made once at start-up and the same after every restart.
//
// Taken, in this order, from:
// 1. the MAC address of the first network interface (by name) that has a
//    device behind it (/sys/class/net/<name>/device), as 12 lower-case hex
//    digits without separators; a Raspberry Pi's own interfaces start with
//    b827eb, which the default list of ignored devices looks for;
// 2. /etc/machine-id;
// 3. the key "ServerSerial" of the configuration, which is filled with 32
//    random hex digits the first time and saved with the configuration.
#pragma once

constexpr unsigned kServerSerialMax = 36;

// Returns a new text (the caller frees it), or null when memory is short.
char* makeServerSerial();
