// The emulator through which a cross-built test starts programs of its own build. A foreign
// program cannot be started directly (the system is never taught to run one), so ctest hands the
// tests the emulator's command in ZOVNET_TEST_EMULATOR: words separated by blanks or semicolons,
// such as "qemu-s390x -L /usr/s390x-linux-gnu". Unset or empty: programs start as they are.
#ifndef ZOVNET_EMULATOR_H
#define ZOVNET_EMULATOR_H

#include <cstdlib>
#include <string>
#include <vector>

namespace zovtest {

inline std::vector<std::string> EmulatorCommand() {
    std::vector<std::string> words;
    const char* text = std::getenv("ZOVNET_TEST_EMULATOR");
    if (text == nullptr)
        return words;
    std::string word;
    for (const char* c = text;; ++c) {
        if (*c == '\0' || *c == ' ' || *c == '\t' || *c == ';') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*c == '\0')
                break;
        } else {
            word += *c;
        }
    }
    return words;
}

// Whether this test runs under an emulator.
inline bool Emulated() {
    return !EmulatorCommand().empty();
}

} // namespace zovtest

#endif // ZOVNET_EMULATOR_H
