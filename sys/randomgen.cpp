// Random generators of calvixd. The streams are part of the wire protocol
// (the key that unscrambles a connect record is drawn from them), so the
// arithmetic is exact and wraps modulo 2^32.
#include "sys/randomgen.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

void RandomInit(RANDOM_STATE* state, uint32_t seed)
{
    uint32_t s = seed;
    uint32_t* words[5] = {&state->x0, &state->x1, &state->x2, &state->x3, &state->carry};
    for (uint32_t* word : words) {
        s = s * 29943829u - 1u;
        *word = s;
    }
    for (int i = 0; i < 19; i++)
        RandomNextMwc(state);
    state->lcg = seed;
}

uint32_t RandomNextMwc(RANDOM_STATE* state)
{
    uint64_t sum = 2111111111ull * state->x3 + 1492ull * state->x2 + 1776ull * state->x1 + 5115ull * state->x0 +
                   state->carry;
    state->x3 = state->x2;
    state->x2 = state->x1;
    state->x1 = state->x0;
    state->carry = static_cast<uint32_t>(sum >> 32);
    state->x0 = static_cast<uint32_t>(sum);
    return state->x0;
}

uint8_t RandomNextLcg(RANDOM_STATE* state)
{
    state->lcg = state->lcg * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state->lcg >> 16);
}

void RandomFillLcg(RANDOM_STATE* state, void* buffer, size_t length)
{
    if (state == nullptr || buffer == nullptr || length == 0)
        return;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < length; i++)
        bytes[i] = RandomNextLcg(state);
}

CRandom::CRandom() : m_state()
{
    // Without /dev/urandom the seed rests on the clocks alone.
    uint32_t seed = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        uint32_t value;
        if (read(fd, &value, sizeof(value)) == static_cast<ssize_t>(sizeof(value)))
            seed = value;
        close(fd);
    }
    const clockid_t clocks[3] = {CLOCK_REALTIME, CLOCK_MONOTONIC, CLOCK_PROCESS_CPUTIME_ID};
    for (clockid_t clock : clocks) {
        timespec now{};
        if (clock_gettime(clock, &now) == 0)
            seed ^= static_cast<uint32_t>(now.tv_sec) ^ static_cast<uint32_t>(now.tv_nsec);
    }
    RandomInit(&m_state, seed);
}
