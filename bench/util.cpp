// Timing, byte sums and file helpers shared by the harness and the stores.
#include "bench.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bench {

uint64_t SumBytes(const uint8_t *p, size_t n) {
    uint64_t sum = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // psadbw against zero adds 8 bytes into each 64-bit lane.
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = zero, acc1 = zero;
    for (; i + 32 <= n; i += 32) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16));
        acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, zero));
        acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(b, zero));
    }
    for (; i + 16 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, zero));
    }
    __m128i acc = _mm_add_epi64(acc0, acc1);
    uint64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), acc);
    sum = lanes[0] + lanes[1];
#endif
    for (; i < n; ++i) sum += p[i];
    return sum;
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

uint64_t FileSize(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

void SyncFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw StoreError("open " + path + ": " + std::strerror(errno));
    int rc;
    while ((rc = fdatasync(fd)) != 0 && errno == EINTR) {
    }
    int err = errno;
    close(fd);
    if (rc != 0) throw StoreError("fdatasync " + path + ": " + std::strerror(err));
}

void RemoveTree(const std::string &path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void MakeDir(const std::string &path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        throw StoreError("mkdir " + path + ": " + std::strerror(errno));
}

} // namespace bench
