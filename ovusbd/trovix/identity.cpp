#include "ovusbd/trovix/identity.h"

#include <stdlib.h>
#include <string.h>

#include "ovusbd/core/config.h"
#include "ovusbd/core/log.h"
#include "ovusbd/core/randomuuid.h"
#include "ovusbd/trovix/base58.h"
#include "ovusbd/trovix/trovixsettings.h"

namespace {

// A draw of four zero bytes is repeated; this many draws that all fail or
// all give zero mean the source is broken.
constexpr int kPinDraws = 16;

bool drawPin(TrovixRandom* random, uint8_t out[4]) {
    if (random != nullptr && random->seeded && drawTrovixRandom(random, out, 4) == 0) return true;
    return trovixSettings.sys->getRandom(out, 4) == 4;
}

void storeEncoded(const char* key, const uint8_t* bytes, size_t length) {
    char text[30];
    if (encodeBase58(bytes, length, text, sizeof text) >= 0) setConfigString(key, text);
}

// Decodes key into out; false when absent or refused (the refusal logged).
bool readStored(const char* key, uint8_t* out, size_t width, const char* refusal) {
    char* text = getConfigString(key, nullptr, true);
    if (text == nullptr) return false;
    const bool ok = decodeBase58Fixed(text, out, width);
    free(text);
    if (!ok) logMessage(3, "%s", refusal);
    return ok;
}

} // namespace

bool generateTrovixPin(TrovixRandom* random, uint8_t out[4]) {
    for (int i = 0; i < kPinDraws; i++) {
        uint8_t pin[4] = {};
        if (drawPin(random, pin) && (pin[0] | pin[1] | pin[2] | pin[3]) != 0) {
            memcpy(out, pin, 4);
            return true;
        }
    }
    return false;
}

void setUpTrovixIdentity(TrovixIdentity* identity, TrovixRandom* random) {
    if (!readStored("TrovixId", identity->id, 16, "Your TrovixId could not be decoded, regenerating...")) {
        readRandomUuid(identity->id);
        storeEncoded("TrovixId", identity->id, 16);
    }
    identity->hasPin = readStored("TrovixPin", identity->pin, 4, "Your TrovixPin could not be decoded, regenerating...");
    if (!identity->hasPin) {
        identity->hasPin = generateTrovixPin(random, identity->pin);
        if (identity->hasPin) {
            storeEncoded("TrovixPin", identity->pin, 4);
        } else {
            logMessage(3, "Error, no random source for a Trovix PIN: none is stored");
        }
    }
}

void logTrovixIdentity() {
    char* id = getConfigString("TrovixId", nullptr, true);
    char* pin = getConfigString("TrovixPin", nullptr, true);
    logMessage(6, "Your Trovix Id : %s", id != nullptr ? id : "");
    logMessage(6, "Your Trovix Pin: %s", pin != nullptr ? pin : "");
    free(id);
    free(pin);
}
