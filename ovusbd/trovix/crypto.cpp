#include "ovusbd/trovix/crypto.h"

#include <string.h>

#include <mbedtls/blowfish.h>

namespace {

// The initialisation vector both ends of the rendezvous protocol use.
constexpr uint8_t kDatagramIv[8] = {0x4f, 0x76, 0x54, 0x72, 0x6f, 0x76, 0x69, 0x78};

int cryptKeyed(mbedtls_blowfish_context* context, int mode, const uint8_t in[kTrovixDatagramSize],
               uint8_t out[kTrovixDatagramSize]) {
    unsigned char iv[8];
    memcpy(iv, kDatagramIv, sizeof iv);
    size_t offset = 0;
    return mbedtls_blowfish_crypt_cfb64(context, mode, kTrovixDatagramSize, &offset, iv, in, out);
}

int crypt(int mode, const uint8_t key[kTrovixKeySize], const uint8_t in[kTrovixDatagramSize],
          uint8_t out[kTrovixDatagramSize]) {
    mbedtls_blowfish_context context;
    mbedtls_blowfish_init(&context);
    int rc = mbedtls_blowfish_setkey(&context, key, kTrovixKeySize * 8);
    if (rc == 0) rc = cryptKeyed(&context, mode, in, out);
    mbedtls_blowfish_free(&context);
    return rc;
}

} // namespace

int seedTrovixRandom(TrovixRandom* random) {
    mbedtls_entropy_init(&random->entropy);
    mbedtls_ctr_drbg_init(&random->drbg);
    pthread_mutex_init(&random->drbgMutex, nullptr);
    const int rc = mbedtls_ctr_drbg_seed(&random->drbg, mbedtls_entropy_func, &random->entropy, nullptr, 0);
    random->seeded = rc == 0;
    return rc;
}

void freeTrovixRandom(TrovixRandom* random) {
    mbedtls_ctr_drbg_free(&random->drbg);
    mbedtls_entropy_free(&random->entropy);
    pthread_mutex_destroy(&random->drbgMutex);
    random->seeded = false;
}

int drawTrovixRandom(void* argument, unsigned char* out, size_t length) {
    auto* random = static_cast<TrovixRandom*>(argument);
    if (!random->seeded) return MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
    pthread_mutex_lock(&random->drbgMutex);
    const int rc = mbedtls_ctr_drbg_random(&random->drbg, out, length);
    pthread_mutex_unlock(&random->drbgMutex);
    return rc;
}

int makeTrovixKeyPair(TrovixRandom* random, TrovixKeyPair* pair, TrovixKeyStep* failedStep) {
    mbedtls_ecp_group_init(&pair->group);
    mbedtls_mpi_init(&pair->secret);
    mbedtls_ecp_point_init(&pair->publicPoint);
    int rc = mbedtls_ecp_group_load(&pair->group, MBEDTLS_ECP_DP_CURVE25519);
    if (rc != 0) {
        *failedStep = kTrovixKeyGroup;
        return rc;
    }
    rc = mbedtls_ecdh_gen_public(&pair->group, &pair->secret, &pair->publicPoint, drawTrovixRandom, random);
    if (rc != 0) {
        *failedStep = kTrovixKeyGenerate;
        return rc;
    }
    rc = mbedtls_mpi_write_binary(&pair->publicPoint.X, pair->publicKey, kTrovixKeySize);
    if (rc != 0) *failedStep = kTrovixKeyWrite;
    return rc;
}

void freeTrovixKeyPair(TrovixKeyPair* pair) {
    mbedtls_ecp_point_free(&pair->publicPoint);
    mbedtls_mpi_free(&pair->secret);
    mbedtls_ecp_group_free(&pair->group);
}

int computeTrovixSharedKey(TrovixRandom* random, TrovixKeyPair* pair, const uint8_t peerKey[kTrovixKeySize],
                           uint8_t out[kTrovixKeySize]) {
    mbedtls_ecp_point peer;
    mbedtls_mpi shared;
    mbedtls_ecp_point_init(&peer);
    mbedtls_mpi_init(&shared);
    int rc = mbedtls_mpi_read_binary(&peer.X, peerKey, kTrovixKeySize);
    if (rc == 0) rc = mbedtls_mpi_lset(&peer.Z, 1);
    if (rc == 0) rc = mbedtls_ecdh_compute_shared(&pair->group, &shared, &peer, &pair->secret, drawTrovixRandom, random);
    if (rc == 0) rc = mbedtls_mpi_write_binary(&shared, out, kTrovixKeySize);
    mbedtls_mpi_free(&shared);
    mbedtls_ecp_point_free(&peer);
    return rc;
}

int trovixEncryptDatagram(const uint8_t key[kTrovixKeySize], const uint8_t in[kTrovixDatagramSize],
                          uint8_t out[kTrovixDatagramSize]) {
    return crypt(MBEDTLS_BLOWFISH_ENCRYPT, key, in, out);
}

int trovixDecryptDatagram(const uint8_t key[kTrovixKeySize], const uint8_t in[kTrovixDatagramSize],
                          uint8_t out[kTrovixDatagramSize]) {
    return crypt(MBEDTLS_BLOWFISH_DECRYPT, key, in, out);
}

int keyTrovixCipher(TrovixCipher* cipher, const uint8_t key[kTrovixKeySize]) {
    mbedtls_blowfish_init(&cipher->context);
    return mbedtls_blowfish_setkey(&cipher->context, key, kTrovixKeySize * 8);
}

void freeTrovixCipher(TrovixCipher* cipher) { mbedtls_blowfish_free(&cipher->context); }

int trovixDecryptWith(TrovixCipher* cipher, const uint8_t in[kTrovixDatagramSize], uint8_t out[kTrovixDatagramSize]) {
    return cryptKeyed(&cipher->context, MBEDTLS_BLOWFISH_DECRYPT, in, out);
}
