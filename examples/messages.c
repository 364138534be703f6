/* Prints every status code of zunfs with its message text. */
#include <stdio.h>
#include <zunfs/zunfs.h>

int main(void) {
    char text[128];
    unsigned code;
    printf("zunfs format revision 0x%08X\n", (unsigned)FSRevision());
    for (code = 1; code < 0x10000; code++) {
        if (FSErrorStr((FSStatus)code, text, sizeof text))
            printf("%5u  %s\n", code, text);
    }
    return 0;
}
