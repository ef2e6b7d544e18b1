#include "calvixd/net/connectrecord.h"

#include "sys/thread"

bool UnscrambleConnectRecord(uint8_t* record, size_t size, uint8_t platform)
{
    if (!record || size != CONNECT_RECORD_BYTES)
        return false;
    uint8_t key[128];
    RANDOM_STATE random;
    RandomInit(&random, platform);
    RandomFillLcg(&random, key, sizeof key);
    RC4_STATE rc4;
    Rc4Init(&rc4, key, sizeof key);
    uint8_t* scrambled = record + 8;
    Rc4Crypt(&rc4, scrambled, scrambled, CONNECT_RECORD_BYTES - 8);
    MD5_CONTEXT md5;
    uint8_t digest[MD5_DIGEST_SIZE];
    Md5Init(&md5);
    Md5Update(&md5, scrambled, CONNECT_RECORD_BYTES - 8);
    Md5Final(&md5, digest);
    for (size_t i = 0; i < 16; ++i) {
        record[8 + i] ^= digest[i];
        record[8 + i] ^= record[91 - i];
    }
    return true;
}
