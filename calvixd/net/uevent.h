// One kernel uevent message and the device paths it names. A message as the
// kernel sends it: "action@devpath\0" then "KEY=value\0" for every variable.
// Pure functions of the bytes they are given; UEvent does not copy the
// message, which must outlive it.
#pragma once

#include <cstddef>
#include <string>

class UEvent {
public:
    // The order of checks: longer than 2 bytes; the last byte is zero; the
    // first string has an '@'; at least one byte follows the first string;
    // ACTION and DEVPATH are present. False when any fails.
    bool Parse(const char* message, size_t length);

    // The value of the first variable whose key equals key without regard to
    // case (the text before '=' must have the key's exact length); empty when
    // there is none.
    std::string GetVariable(const char* key) const;
    bool FindVariable(const char* key, const char** value, size_t* valueLength) const;
    std::string GetAction() const { return GetVariable("ACTION"); }
    std::string GetDevPath() const { return GetVariable("DEVPATH"); }
    std::string GetSubsystem() const { return GetVariable("SUBSYSTEM"); }

private:
    const char* m_text = nullptr;
    size_t m_length = 0;
    const char* m_end = nullptr;
    const char* m_variables = nullptr;
};

// A device path of a USB device: begins with "/devices", has a component
// "usb" and digits, and its last component after that has no ':'. Stores
// that last component (the bus id).
bool BusIdFromDevicePath(const std::string& path, std::string* busId);
// A device path of an interface of a USB device: the same form, the last
// component being bus id ':' configuration '.' interface, with ':' neither
// first nor last. Stores the part before ':'.
bool InterfaceFromDevicePath(const std::string& path, std::string* busId);
// The stub number of a stub device's path: it begins with "/devices" or
// "/class" and ends in the components "raveld_cdev" and "raveld_cdev_N"
// (digits only). -1 when the path is not of that form or N is above INT_MAX.
int StubNumberFromDevicePath(const std::string& path);
