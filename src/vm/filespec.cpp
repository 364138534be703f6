// File-spec records: making them from a path and reading the path.
#include <cstring>

#include <zunvm/zunvm.h>

namespace {
constexpr size_t kPathOffset = 20;
constexpr size_t kTypeOffset = 8;
} // namespace

extern "C" FSStatus VMMakeFileSpec(const char *path, uint32_t fileType, VMFileSpec *out) {
    if (path == nullptr || out == nullptr) return VM_E_BADSPEC;
    size_t n = std::strlen(path);
    if (n == 0 || n > VM_MAX_PATH) return VM_E_BADSPEC;
    std::memset(out->bytes, 0, sizeof out->bytes);
    std::memcpy(out->bytes + kTypeOffset, &fileType, sizeof fileType);
    std::memcpy(out->bytes + kPathOffset, path, n + 1);
    return 0;
}

extern "C" const char *VMFileSpecPath(const VMFileSpec *spec) {
    if (spec == nullptr) return "";
    // A record filled by someone else may lack the terminating zero: never
    // hand out a string that runs past the record.
    const char *path = reinterpret_cast<const char *>(spec->bytes + kPathOffset);
    if (std::memchr(path, 0, sizeof spec->bytes - kPathOffset) == nullptr) return "";
    return path;
}
