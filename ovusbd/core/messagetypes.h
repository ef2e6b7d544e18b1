// The message types of the client protocol: the byte at offset 0 of every
// message header. The server, its protocol client for tests and the tests
// share this one list. Where the protocol gives a type no meaning beyond
// "answer with that reply", the name says only that.
#pragma once

#include <stdint.h>

enum MessageType : uint8_t {
    kMsgHello = 0,
    kMsgHelloReply = 1,
    kMsgType2Request = 2,          // answered with an empty kMsgType2Reply
    kMsgDeviceUnbound = 7,         // sent on its own when a binding ends
    kMsgDeviceListRequest = 9,
    kMsgType10Request = 10,        // answered with an empty kMsgType10Reply
    kMsgType10Reply = 11,
    kMsgPing = 12,
    kMsgControlTransfer = 13,
    kMsgControlTransferReply = 14,
    kMsgKeepAlive = 15,
    kMsgDeviceAnnounce = 16,
    kMsgType2Reply = 17,
    kMsgBulkInterruptTransfer = 18,
    kMsgBulkInterruptTransferReply = 19,
    kMsgPortStatus = 20,
    kMsgPortStatusReply = 21,
    kMsgDeviceReset = 22,
    kMsgDeviceResetReply = 23,
    kMsgTextNotice = 24,
    kMsgBindDevice = 25,
    kMsgClearHalt = 26,
    kMsgClearHaltReply = 27,
    kMsgResetEndpoint = 28,
    kMsgResetEndpointReply = 29,
    kMsgAbortEndpoint = 30,
    kMsgAbortEndpointReply = 31,
    kMsgAbortResetClearHaltReply = 32,
    kMsgType33Request = 33,        // answered with kMsgType33Reply, 12 zero bytes
    kMsgType33Reply = 34,
    kMsgUnbindDevice = 35,
    kMsgIsoTransfer = 36,
    kMsgIsoTransferReply = 37,
    kMsgBindResult = 39,
    kMsgServerRename = 40,
    kMsgServerInfo = 41,
    kMsgDeviceNickname = 42,
    kMsgForward = 45,
    kMsgCustomEvent = 47,
    kMsgPortPower = 48,
    kMsgPortPowerReply = 49,
    kMsgAbortResetClearHalt = 50,
    kMsgResetAndConfigure = 51,
    kMsgHubClassRequest = 59,
    kMsgHubClassReply = 60,
    kMsgDeviceIgnore = 61,
    kMsgAddReverseClient = 62,
    kMsgRemoveReverseClient = 63,
    kMsgListReverseClients = 64,
    kMsgListReverseClientsReply = 65,
    kMsgDevicePassword = 66,
    kMsgDevicePasswordReply = 67,
    kMsgIgnored = 68,
    kMsgAllocStreams = 70,
    kMsgAllocStreamsReply = 71,
    kMsgFreeStreams = 72,
    kMsgFreeStreamsReply = 73,
    kMsgBulkStreamTransfer = 74,   // answered with kMsgBulkInterruptTransferReply
    kMsgTrovixSwitch = 75,
    kMsgIsoPackedTransferReply = 76,
    kMsgIsoPackedTransfer = 77,
    kMsgGetIgnoredDevices = 78,
    kMsgGetIgnoredDevicesReply = 79,
    kMsgSetIgnoredDevices = 80,
};
