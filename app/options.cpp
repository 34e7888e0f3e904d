#include <climits>
#include <cstdint>

#include "app/entry.h"
#include "common/print.h"
#include "common/shared.h"

namespace {

// The blanks that atoi skips in the C locale.
bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

}  // namespace

std::int32_t ParseModeValue(const char* text)
{
    if (text == nullptr) {
        return 0;
    }
    while (IsBlank(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    // The magnitude stops growing one past the positive limit, which is the
    // negative limit's magnitude; the sign then picks the nearer limit, so a
    // long run of digits can never overflow.
    const std::int64_t cap = static_cast<std::int64_t>(INT32_MAX) + 1;
    std::int64_t magnitude = 0;
    while (*text >= '0' && *text <= '9') {
        magnitude = magnitude * 10 + (*text - '0');
        if (magnitude > cap) {
            magnitude = cap;
        }
        ++text;
    }
    if (negative) {
        return static_cast<std::int32_t>(-magnitude);
    }
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(magnitude);
}

RunSwitches ReadSwitches(int argc, char** argv)
{
    RunSwitches switches;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument == nullptr || argument[0] == '\0') {
            continue;
        }
        const char name = argument[1];
        // The mode's value is never a switch, as ReadOptions has it.
        if (name == 'b') {
            ++i;
        } else if (name == 's' || name == 'S') {
            switches.unattended = true;
        } else if (name == 'c' || name == 'C') {
            switches.checkOnly = true;
        } else if (name == '?' || name == 'h' || name == 'H' || name == '-') {
            // "--help", "--version" and any other long option read as a
            // question: whoever typed one did not mean to update a scanner.
            switches.help = true;
        }
    }
    return switches;
}

std::int32_t ReadOptions(int argc, char** argv, std::int32_t mode)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        // Only the second character names an option, so "-a", "/a" and "xa"
        // are the same; shorter arguments name nothing.
        if (argument == nullptr || argument[0] == '\0') {
            continue;
        }
        if (argument[1] == 'a') {
            mode = 1;
        } else if (argument[1] == 'b') {
            if (i + 1 < argc) {
                // The value is consumed even when it looks like an option.
                ++i;
                mode = ParseModeValue(argv[i]);
            } else {
                PrintMessage(MSG_NO_FOLLOWING_ARGUMENT, Language);
            }
        }
    }
    return mode;
}
