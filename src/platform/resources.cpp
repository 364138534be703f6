// Resource libraries: string tables registered under a library name, found by
// name (VMLoadResLib) and read by id (LoadStringA).
//
// A module handle is the registration's position in the list plus 1, so it
// stays valid for the life of the process; registering a name again replaces
// its table under the same handle.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

#include <zunvm/zunvm.h>

namespace zun {
namespace {

struct ResLib {
    std::string name;
    const VMStringEntry *table;
    uint32_t count;
};

std::mutex g_mutex;
std::vector<ResLib> g_libs;

} // namespace
} // namespace zun

extern "C" void VMRegisterResLib(const char *name, const VMStringEntry *table, uint32_t count) {
    if (name == nullptr) return;
    if (table == nullptr) count = 0;
    std::lock_guard<std::mutex> guard(zun::g_mutex);
    for (zun::ResLib &lib : zun::g_libs) {
        if (strcasecmp(lib.name.c_str(), name) == 0) {
            lib.table = table;
            lib.count = count;
            return;
        }
    }
    zun::g_libs.push_back({name, table, count});
}

extern "C" uintptr_t VMLoadResLib(const char *name) {
    if (name == nullptr) return 0;
    std::lock_guard<std::mutex> guard(zun::g_mutex);
    for (size_t i = 0; i < zun::g_libs.size(); i++)
        if (strcasecmp(zun::g_libs[i].name.c_str(), name) == 0) return i + 1;
    return 0;
}

extern "C" int32_t LoadStringA(uintptr_t module, int32_t id, char *buffer, int32_t size) {
    if (buffer == nullptr || size < 1) return 0;
    buffer[0] = '\0';
    const char *text = nullptr;
    {
        std::lock_guard<std::mutex> guard(zun::g_mutex);
        if (module == 0 || module > zun::g_libs.size()) return 0;
        const zun::ResLib &lib = zun::g_libs[module - 1];
        for (uint32_t i = 0; i < lib.count && text == nullptr; i++)
            if (lib.table[i].id == id) text = lib.table[i].text;
    }
    if (text == nullptr) return 0;
    size_t n = std::min(std::strlen(text), static_cast<size_t>(size - 1));
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return static_cast<int32_t>(n);
}
