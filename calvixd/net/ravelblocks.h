// The argument blocks of the `ravel` stub driver's ioctls: building what the
// daemon sends, and reading what the driver fills in. Pure functions of
// their arguments; no driver access here. Every block begins with its total
// size as a u32; integers are in host (little-endian) order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "calvixd/net/loaderapi.h"

// Control device requests.
constexpr unsigned long RAVEL_SET_CLAIM_RULES = 0x40C8;
constexpr unsigned long RAVEL_CLEAR_CLAIM_RULES = 0x40C9;
constexpr unsigned long RAVEL_REBIND = 0x40CC;
constexpr unsigned long RAVEL_GET_DESCRIPTORS = 0x40CD;
constexpr unsigned long RAVEL_QUERY_DEVICE_STRING = 0x40CE;
constexpr unsigned long RAVEL_SET_QUIRKS = 0x40CF;
constexpr unsigned long RAVEL_CLEAR_QUIRKS = 0x40D0;

// Stub device requests.
constexpr unsigned long RAVEL_READ_MESSAGE = 0x40A0;
constexpr unsigned long RAVEL_WRITE_MESSAGE = 0x40A1;
constexpr unsigned long RAVEL_FLUSH_REQUESTS = 0x40A2;
constexpr unsigned long RAVEL_SET_RESET_MODE = 0x40A4;
constexpr unsigned long RAVEL_SET_FLAGS = 0x40A5;
constexpr unsigned long RAVEL_RESET_DEVICE = 0x40A6;
constexpr unsigned long RAVEL_NEEDS_RESET = 0x40A7;

constexpr const char RAVEL_CHARDEV_NAME[] = "raveld_cdev";
constexpr const char RAVEL_CONTROL_NODE[] = "/dev/raveld_cdev_0";
constexpr const char RAVEL_STUB_NODE_FORMAT[] = "/dev/raveld_cdev_%u";

// A bus id travels in 32 bytes, zero-padded (not terminated when it fills
// them); blocks that name a device have a 40-byte header: size, bus id, four
// zero bytes.
constexpr size_t RAVEL_BUS_ID_SIZE = 32;
constexpr size_t RAVEL_DEVICE_HEADER_SIZE = 40;
constexpr size_t RAVEL_REBIND_SIZE = 40;
constexpr size_t RAVEL_QUERY_SIZE = 297;
constexpr size_t RAVEL_RULE_HEADER_SIZE = 28;
constexpr size_t RAVEL_QUIRK_SLOT_SIZE = 28;
constexpr size_t RAVEL_QUIRK_ELEMENT_SIZE = 8;

// Descriptors as the driver hands them out: a configuration descriptor (9
// bytes) whose wTotalLength (u16 at offset 2) covers the whole block.
constexpr size_t RAVEL_DESCRIPTORS_MIN = 9;
constexpr size_t RAVEL_DESCRIPTORS_MAX = 65535;

// StubMessage: the block exchanged with a stub device. Only these words are
// read; every other byte passes between client and driver unchanged.
constexpr size_t STUB_MESSAGE_LENGTH_OFFSET = 8;
constexpr size_t STUB_MESSAGE_KIND_OFFSET = 12;
constexpr size_t STUB_MESSAGE_STATUS_OFFSET = 16;
constexpr size_t STUB_MESSAGE_CONFIG_OFFSET = 24;
constexpr size_t STUB_MESSAGE_MIN = 24;

// Each throws std::bad_alloc when the block cannot be allocated.
std::vector<uint8_t> BuildClaimRulesBlock(const std::vector<LoaderRule>& rules);
std::vector<uint8_t> BuildQuirksBlock(const std::vector<LoaderQuirk>& quirks);
// {u32 4}: ClearClaimRules, ClearQuirks, FlushRequests, ResetDevice.
std::vector<uint8_t> BuildEmptyBlock();
// The 40-byte device header followed by dataLength zero bytes; the size
// word is 40 + dataLength (Rebind: 0, GetDescriptors: n, QueryDeviceString:
// 257).
std::vector<uint8_t> BuildDeviceBlock(const std::string& busId, size_t dataLength);

// Whether the text of /proc/devices has a line "%d %s" naming
// "raveld_cdev".
bool ProcDevicesHasRavel(const char* text, size_t length);
// The wTotalLength of a descriptor block the driver filled (the u16 at
// offset 2); 0 when fewer than 4 bytes are there.
size_t DescriptorTotalLength(const uint8_t* descriptors, size_t length);
// The text of a filled QueryDeviceString block: the last byte is forced to
// zero first, so the text ends inside the block whatever the driver wrote.
std::string QueryBlockText(uint8_t* block, size_t length);

// The stub driver's status (a Linux URB status) as the client protocol's
// code.
uint32_t MapStubStatus(int32_t status);

uint32_t ReadU32(const uint8_t* at);
void WriteU32(uint8_t* at, uint32_t value);
