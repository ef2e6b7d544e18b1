// The cryptography of the rendezvous protocol: the random generator of a
// Trovix service form, the Curve25519 key agreement and the Blowfish-CFB64
// cipher of the datagrams.
#pragma once

#include <stddef.h>
#include <pthread.h>
#include <stdint.h>

#include <mbedtls/blowfish.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecdh.h>
#include <mbedtls/entropy.h>

#include "ovusbd/trovix/datagram.h"

// One per service form: seeded by its listen, used for the PIN and the key
// pairs. drbg is used only while seeded is set; its users are the main
// thread (listen) and the rendezvous thread, never at once with each other
// for one registration, so the rendezvous thread takes drbgMutex around
// every draw.
struct TrovixRandom {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    pthread_mutex_t drbgMutex;  // guards drbg after seeding
    bool seeded;                // written by listen before any thread starts
};

// Initialises both contexts and seeds the generator (no personalisation).
// Returns 0 or the library's (negative) error; seeded tells which.
int seedTrovixRandom(TrovixRandom* random);
void freeTrovixRandom(TrovixRandom* random);
// mbedTLS random callback over a seeded TrovixRandom (takes drbgMutex).
int drawTrovixRandom(void* random, unsigned char* out, size_t length);

// Curve25519 key pair of one key exchange.
struct TrovixKeyPair {
    mbedtls_ecp_group group;
    mbedtls_mpi secret;
    mbedtls_ecp_point publicPoint;
    uint8_t publicKey[kTrovixKeySize];  // big-endian X coordinate
};

enum TrovixKeyStep { kTrovixKeyGroup, kTrovixKeyGenerate, kTrovixKeyWrite };

// Loads the group and makes a pair. On failure returns the library's error
// and sets *failedStep; the pair must still be freed.
int makeTrovixKeyPair(TrovixRandom* random, TrovixKeyPair* pair, TrovixKeyStep* failedStep);
void freeTrovixKeyPair(TrovixKeyPair* pair);
// The shared secret with the peer's public key (both big-endian 32 bytes).
// Returns 0 or the library's error (a key off the curve, a zero secret).
int computeTrovixSharedKey(TrovixRandom* random, TrovixKeyPair* pair, const uint8_t peerKey[kTrovixKeySize],
                           uint8_t out[kTrovixKeySize]);

// Blowfish in CFB64 mode with the 32 key bytes as a 256-bit key and the
// fixed initialisation vector, stream offset 0, afresh for each datagram.
// in and out may be the same buffer. Returns 0 or the library's error.
int trovixEncryptDatagram(const uint8_t key[kTrovixKeySize], const uint8_t in[kTrovixDatagramSize],
                          uint8_t out[kTrovixDatagramSize]);
int trovixDecryptDatagram(const uint8_t key[kTrovixKeySize], const uint8_t in[kTrovixDatagramSize],
                          uint8_t out[kTrovixDatagramSize]);

// The same cipher keyed once, for the many datagrams that one key
// deciphers: the Blowfish key schedule costs far more than a datagram, and
// the receive thread must keep up with whatever arrives on its port.
// One thread at a time.
struct TrovixCipher {
    mbedtls_blowfish_context context;
};
// Returns 0 or the library's error; free the cipher in either case.
int keyTrovixCipher(TrovixCipher* cipher, const uint8_t key[kTrovixKeySize]);
void freeTrovixCipher(TrovixCipher* cipher);
int trovixDecryptWith(TrovixCipher* cipher, const uint8_t in[kTrovixDatagramSize], uint8_t out[kTrovixDatagramSize]);
