// fwusimctl: the harness's hands inside the Wine prefix.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tools/wine-scanner/helper/helper.h"

namespace {

// What the platform makes of the locale the harness sets.
int RunLanguage(int, char**)
{
    std::printf("{\"language\": %u, \"ansi_code_page\": %u}\n", static_cast<unsigned>(GetUserDefaultLangID()),
                static_cast<unsigned>(GetACP()));
    return 0;
}

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

const Command COMMANDS[] = {
    {"steps", RunDeviceSteps}, {"service", RunServiceSetup}, {"others", RunOtherApplications},
    {"report", RunReport},     {"language", RunLanguage},    {"trace", RunTrace},
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2) {
        for (const Command& command : COMMANDS) {
            if (std::strcmp(argv[1], command.name) == 0) {
                return command.run(argc - 2, argv + 2);
            }
        }
    }
    std::fprintf(stderr, "usage: fwusimctl steps STEP...\n"
                         "       fwusimctl service installed|absent STATE START_TYPE\n"
                         "       fwusimctl others [--hold NAME [--release NAME MS]]... [--watch NAME]...\n"
                         "       fwusimctl report\n"
                         "       fwusimctl language\n"
                         "       fwusimctl trace FILE\n");
    return 2;
}
