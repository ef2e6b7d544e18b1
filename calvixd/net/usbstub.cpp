#include "calvixd/net/usbstub.h"

#include "sys/thread"

std::shared_ptr<CUsbStub> CreateKmodUsbStub(const UsbStubParams&)
{
    throw new CExceptionEx(MODULE_USBSTUB, __LINE__, ERROR_NOT_SUPPORTED);
}
