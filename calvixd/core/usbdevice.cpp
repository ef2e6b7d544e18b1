#include "calvixd/core/usbdevice.h"

#include <cstdio>
#include <cstring>

bool UsbDevice::CanForget()
{
    if (shareMode != SHARE_MODE_NONE)
        return false;
    flags |= DEVICE_FLAG_HIDDEN;
    // A remembered record that never met its device has no reset mode yet:
    // that is no setting of its own either.
    bool defaultReset = resetMode == DEVICE_RESET_MODE_HARD || resetMode == DEVICE_RESET_MODE_UNSET;
    return timeout == 0 && defaultReset && nickname.empty() && aclRules.empty() && aclMode == 0;
}

uint32_t SetClientKindFlags(uint32_t flags, uint32_t kind)
{
    flags &= DEVICE_CLIENT_KIND_CLEAR_MASK;
    switch (kind) {
    case CONNECTION_KIND_RDP:
        return flags | 0x2000;
    case CONNECTION_KIND_TCP:
        return flags | 0x4000;
    case CONNECTION_KIND_UDP:
        return flags | 0x8000;
    case CONNECTION_KIND_512:
        return flags | 0x10000;
    case CONNECTION_KIND_PIPE:
        return flags | 0x18000;
    default:
        return flags;
    }
}

void ComputeDeviceIdentity(uint16_t vendorId, uint16_t productId, const std::string& identityText,
                           uint8_t digest[MD5_DIGEST_SIZE])
{
    constexpr size_t textLimit = 300;
    constexpr size_t minimumHashed = 64;
    char text[textLimit];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "Vid_%.4x&Pid_%.4x&Busid_%s", vendorId, productId, identityText.c_str());
    size_t length = strlen(text);
    MD5_CONTEXT context;
    Md5Init(&context);
    Md5Update(&context, text, length < minimumHashed ? minimumHashed : length);
    Md5Final(&context, digest);
}
