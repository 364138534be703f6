// A C++ host: includes the headers, the C++ interface too, and calls the
// library.
#include <cstdio>
#include <zunfs/zunfs.h>
#include <zunfs/zunfs.hpp>
#include <zunvm/zunvm.h>

int main() {
    char text[100];
    if (FSErrorStr(FS_E_NO_SAVED, text, sizeof text) != 1) return 1;
    std::printf("%s\n", text);
    if (zunfs::status_text(FS_E_NO_SAVED) != text) return 3;
    return FSRevision() == 0x0209FFFFu ? 0 : 2;
}
