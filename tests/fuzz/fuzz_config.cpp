// Fuzz entry of calvixd's configuration reader: the input is a whole file,
// read line by line as the daemon reads it. What was read is written and
// read again: the writer's output must read back to the same file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "calvixd/core/configfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StoredSettings settings;
    CConfigParser::ParseText(reinterpret_cast<const char*>(data), size, &settings);

    // The writer takes the collected form; the stored texts go through it.
    StoredSettings collected = settings;
    collected.autoShareMode = settings.autoShare;
    std::string text = CConfigFile::Format(collected);
    // Escaping makes a text up to three times longer; a line past the
    // reader's limit would arrive cut in two. Texts that come from the wire
    // stay far below it.
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        if (end + 1 - start >= CONFIG_LINE_LIMIT)
            return 0;
    }
    StoredSettings again;
    CConfigParser::ParseText(text.data(), text.size(), &again);
    collected = again;
    collected.autoShareMode = again.autoShare;
    if (CConfigFile::Format(collected) != text)
        abort();
    return 0;
}
