// Status messages: FSErrorStr and FSError.
#include <mutex>

#include "session/fcb.h"

namespace {

const VMStringEntry kMessages[] = {
#define ZUN_MESSAGE(id, text) {id, text},
#include "res/messages.inc"
#undef ZUN_MESSAGE
};

constexpr const char *kResLibName = "ZUNFSR32.RSL";

// The services library finds our string table under the resource library's
// name; it is registered once, on first use.
void RegisterMessages() {
    static std::once_flag once;
    std::call_once(once, [] {
        VMRegisterResLib(kResLibName, kMessages, sizeof kMessages / sizeof kMessages[0]);
    });
}

} // namespace

extern "C" int32_t FSErrorStr(FSStatus code, char *buffer, uint16_t size) {
    if (buffer == nullptr || size == 0) return 0;
    if (code == 0) {
        buffer[0] = '\0';
        return 0;
    }
    if (VMErrorStr(code, buffer, size) != 0) return 1;
    RegisterMessages();
    uintptr_t module = VMLoadResLib(kResLibName);
    // Without a module there is no text: report it as such rather than
    // claiming a text was delivered.
    int32_t n = module != 0 ? LoadStringA(module, static_cast<int16_t>(code), buffer, size) : 0;
    if (n <= 0) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

extern "C" FSStatus FSError(const void *fcbOrScb) {
    if (fcbOrScb == nullptr) return FS_E_BAD_PARAMS;
    // FCB and SCB share their head: the status is the u16 at offset 4.
    const auto *head = static_cast<const FCB *>(fcbOrScb);
    return head->h.lastStatus;
}
