// A C++ host: includes both headers and calls the library.
#include <cstdio>
#include <zunfs/zunfs.h>
#include <zunvm/zunvm.h>

int main() {
    char text[100];
    if (FSErrorStr(FS_E_NO_SAVED, text, sizeof text) != 1) return 1;
    std::printf("%s\n", text);
    return FSRevision() == 0x0209FFFFu ? 0 : 2;
}
