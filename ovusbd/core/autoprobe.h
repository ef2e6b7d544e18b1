// The kernel's automatic driver probing (/sys/bus/usb/drivers_autoprobe).
// While "AutoAttachToKernel" is off the server switches it off, so that a
// device it manages is not grabbed by a host driver between an unbind and
// the next bind, and puts the old value back at shutdown.
#pragma once

// The character the file held when the server switched probing off.
extern char savedAutoprobe;

// Makes the file's first character `c`; nothing is written when it already
// is. Errors are logged. True on success.
bool writeAutoprobe(char c);

// Start-up: when "AutoAttachToKernel" (default autoAttachDefault) is off,
// keeps the file's character in savedAutoprobe and writes '0'. Records that
// it did, so the restore undoes exactly this, whatever the key says by
// then. False when the file cannot be read or written (start-up ends with
// 5).
bool switchOffAutoprobe();

// Writes savedAutoprobe back when switchOffAutoprobe switched probing off,
// then forgets it. True on success and when there was nothing to undo.
bool restoreAutoprobe();
