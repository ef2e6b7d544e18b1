// CUsbCoreIface: the request side of the control interface. After the
// handshake it reads one request code with its arguments, calls the
// matching operation of the core object and writes the reply: u32 1 and
// the reply data, or u32 0 and the error record.
#pragma once

#include "calvixd/core/coreiface.h"
#include "calvixd/core/corerequests.h"

// Error records the request side makes itself (module MODULE_USBCOREIFACE).
constexpr uint16_t CORE_LINE_UNKNOWN_REQUEST = 2916;
constexpr uint16_t CORE_LINE_NOT_READY = 2981;
constexpr uint16_t CORE_LINE_DEVICE_DATA = 2982;
constexpr uint32_t ERROR_NOT_READY = 21;
constexpr uint32_t ERROR_INVALID_DATA = 13;

constexpr uint32_t CORE_VERSION = 0x3A000;
constexpr const char CORE_PRODUCT_NAME[] = "USB Calvento for Linux";

class CUsbCoreIface : public CCoreIface {
public:
    // core is not owned and must outlive the server.
    CUsbCoreIface(CCoreRequests* core, const char* socketName, const char* userGroup, const char* adminGroup,
                  const CoreIfaceSettings& settings = CoreIfaceSettings());
    ~CUsbCoreIface() override;

    void HandleRequest(CCoreIfaceConnection* connection) override;

private:
    void HandleUnknownRequest(CCoreIfaceConnection* connection);

    CCoreRequests* m_core;
};
