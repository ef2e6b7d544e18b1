// The Trovix id and PIN: read from "TrovixId" and "TrovixPin", or created
// and stored when absent or not decodable.
#pragma once

#include <stdint.h>

#include "ovusbd/trovix/crypto.h"

struct TrovixIdentity {
    uint8_t id[16];
    uint8_t pin[4];
    bool hasPin;  // false only when no random source could give a PIN
};

// Draws a PIN that is not all zero: from random when it was seeded, else
// from getrandom. False (out untouched) when neither gives one: a PIN that
// anyone could guess would be worse than none.
bool generateTrovixPin(TrovixRandom* random, uint8_t out[4]);

// The identity steps: decode the stored id and PIN, replacing either by a
// fresh value (stored with setConfigString) when absent or refused. The id
// of a fresh identity object is zero, which is what is stored when the
// kernel's UUID cannot be read.
void setUpTrovixIdentity(TrovixIdentity* identity, TrovixRandom* random);

// Logs "Your Trovix Id : %s" and "Your Trovix Pin: %s" from the store.
void logTrovixIdentity();
