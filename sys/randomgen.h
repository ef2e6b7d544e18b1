// Random generators of calvixd: Marsaglia's multiply-with-carry generator and
// a linear congruential byte generator, and the seeded CRandom object.
// (Not named random.h: <sys/random.h> is the C library's.)
#pragma once

#include <cstddef>
#include <cstdint>

struct RANDOM_STATE {
    uint32_t lcg;
    uint32_t x0; // newest
    uint32_t x1;
    uint32_t x2;
    uint32_t x3;
    uint32_t carry;
};

void RandomInit(RANDOM_STATE* state, uint32_t seed);
uint32_t RandomNextMwc(RANDOM_STATE* state);
uint8_t RandomNextLcg(RANDOM_STATE* state);
// Does nothing for a null state or buffer or a length of 0.
void RandomFillLcg(RANDOM_STATE* state, void* buffer, size_t length);

// Seeded from /dev/urandom and three clocks. Not thread-safe: one owner.
class CRandom {
public:
    CRandom();
    void Fill(void* buffer, size_t length) { RandomFillLcg(&m_state, buffer, length); }

private:
    RANDOM_STATE m_state;
};
