// Prints every text of the message catalogue, straight from the catalogue
// itself, so that the technician's guide can be checked against the texts
// the updater really prints rather than against a second copy of them. One
// line per text: the id, the language (0 English, 1 Traditional Chinese) and
// the text's bytes in hexadecimal (the Chinese ones in code page 950).
#include <cstdio>

#include "common/print.h"

int main()
{
    for (int language = 0; language < 2; ++language) {
        for (int id = 0; id < MESSAGE_COUNT; ++id) {
            const char* text = MessageText(id + MESSAGES_PER_LANGUAGE * language);
            if (text == nullptr) {
                std::fprintf(stderr, "print_catalogue: no text for id %d in language %d\n", id, language);
                return 1;
            }
            std::printf("%d %d ", id, language);
            for (const char* byte = text; *byte != '\0'; ++byte) {
                std::printf("%02x", static_cast<unsigned>(static_cast<unsigned char>(*byte)));
            }
            std::printf("\n");
        }
    }
    return 0;
}
