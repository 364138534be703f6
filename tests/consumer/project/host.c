/* A C11 host: includes both headers and calls the library. */
#include <stdio.h>
#include <string.h>
#include <zunfs/zunfs.h>
#include <zunvm/zunvm.h>

int main(void) {
    char text[100];
    VMFileSpec spec;
    if (VMMakeFileSpec("/tmp", 0, &spec) != 0) return 1;
    if (FSErrorStr(FS_E_BAD_PARAMS, text, sizeof text) != 1) return 2;
    if (strcmp(text, "Internal error:  Generic bad parameters.") != 0) return 3;
    printf("%s\n", text);
    return FSRevision() == 0x0209FFFFu ? 0 : 4;
}
