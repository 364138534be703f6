// Registering the callback table with the services library. Installation is
// counted: only the first FSInstallSFM registers the table and only the
// FSUninstallSFM that brings the count back to 0 withdraws it.
#include <mutex>

#include "session/fcb.h"
#include "tables/sfm.h"

namespace {

std::mutex g_mutex;
uint32_t g_installs = 0;
uint16_t g_registration = 0xFF9D; // the services' word for the registered table

} // namespace

extern "C" {

int32_t FSInstallSFM(uint16_t *registrationOut) {
    if (registrationOut == nullptr) return FS_E_BAD_PARAMS;
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_installs == 0) {
        int32_t result = VMInstallSFM(&kSFMTable, &g_registration);
        if (result != 0) return result; // not registered: not counted
    }
    ++g_installs;
    *registrationOut = g_registration;
    return 0;
}

int32_t FSUninstallSFM(void) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_installs == 0) return 0;
    int32_t result = g_installs == 1 ? VMUninstallSFM(g_registration) : 0;
    --g_installs;
    return result;
}

} // extern "C"
