// The registered storage-manager callback table and byte streams over it.
//
// Registrations form a list; streams are served by the newest one. A stream
// keeps the table it was opened through, so the table must stay valid until
// its streams are closed. Transfers are cut into callback calls of at most
// 65535 bytes, the callbacks' count being 16 bits.
#include <cstdlib>
#include <mutex>
#include <vector>

#include <zunvm/zunvm.h>

struct VMStream {
    VMStreamContext context;
};

namespace zun {
namespace {

constexpr uint32_t kMaxCall = 0xFFFF;
constexpr uint16_t kNoTable = 0xFFFF;
constexpr uint32_t kUnbound = 0xFFFFFFFF;

struct Registration {
    uint16_t word;
    const VMSFMTable *table;
};

std::mutex g_mutex;
std::vector<Registration> g_registrations;
uint16_t g_lastWord = 0;

const VMSFMTable *CurrentTable() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_registrations.empty() ? nullptr : g_registrations.back().table;
}

// A new stream bound to fcb and tid through the current table.
FSStatus Bind(void *fcb, uint16_t tid, uint8_t classNumber, VMStream **out) {
    const VMSFMTable *table = CurrentTable();
    if (table == nullptr || fcb == nullptr) return VM_E_BADSPEC;
    auto *stream = static_cast<VMStream *>(std::calloc(1, sizeof(VMStream)));
    if (stream == nullptr) return VM_E_NOMEM;
    stream->context.sfm = table;
    stream->context.position = kUnbound;
    VMBindParams params{fcb, tid, classNumber};
    table->bind(&stream->context, &params);
    *out = stream;
    return 0;
}

// Runs the create or open step of a new stream; frees it when that fails.
template <typename Fn> FSStatus Start(VMStream *stream, VMStream **out, Fn &&start) {
    FSStatus status = start(&stream->context);
    if (status != 0) {
        std::free(stream);
        return status;
    }
    *out = stream;
    return 0;
}

// Calls step(position, n, offset) for consecutive pieces of at most kMaxCall
// bytes; a count of 0 makes one call, so the callback still records the
// position.
template <typename Step> FSStatus Split(uint32_t position, uint32_t count, Step &&step) {
    if (uint64_t{position} + count > UINT32_MAX + uint64_t{1}) return VM_E_RANGE;
    uint32_t done = 0;
    do {
        uint32_t n = count - done < kMaxCall ? count - done : kMaxCall;
        FSStatus status = step(position + done, static_cast<uint16_t>(n), done);
        if (status != 0) return status;
        done += n;
    } while (done < count);
    return 0;
}

} // namespace
} // namespace zun

extern "C" int32_t VMInstallSFM(const VMSFMTable *table, uint16_t *registration) {
    if (table == nullptr || registration == nullptr) return VM_E_BADSPEC;
    std::lock_guard<std::mutex> guard(zun::g_mutex);
    do {
        zun::g_lastWord++;
    } while (zun::g_lastWord == 0);
    zun::g_registrations.push_back({zun::g_lastWord, table});
    *registration = zun::g_lastWord;
    return 0;
}

extern "C" int32_t VMUninstallSFM(uint16_t registration) {
    std::lock_guard<std::mutex> guard(zun::g_mutex);
    for (auto r = zun::g_registrations.begin(); r != zun::g_registrations.end(); ++r) {
        if (r->word == registration) {
            zun::g_registrations.erase(r);
            return 0;
        }
    }
    return VM_E_BADSPEC;
}

extern "C" FSStatus VMStreamCreate(void *fcb, uint8_t classNumber, VMStream **out) {
    if (out == nullptr) return VM_E_BADSPEC;
    *out = nullptr;
    VMStream *stream;
    FSStatus status = zun::Bind(fcb, zun::kNoTable, classNumber, &stream);
    if (status != 0) return status;
    return zun::Start(stream, out, [](VMStreamContext *s) { return s->sfm->create(s); });
}

extern "C" FSStatus VMStreamOpen(void *fcb, uint16_t tid, uint32_t mode, VMStream **out) {
    if (out == nullptr) return VM_E_BADSPEC;
    *out = nullptr;
    if (mode > 1) return VM_E_STREAMMODE;
    VMStream *stream;
    FSStatus status = zun::Bind(fcb, tid, 0, &stream);
    if (status != 0) return status;
    return zun::Start(stream, out, [mode](VMStreamContext *s) { return s->sfm->open(s, mode); });
}

extern "C" uint16_t VMStreamTable(const VMStream *stream) {
    return stream == nullptr ? zun::kNoTable : stream->context.tid;
}

extern "C" FSStatus VMStreamRead(VMStream *stream, uint32_t position, uint32_t count, void *dest) {
    if (stream == nullptr || (dest == nullptr && count != 0)) return VM_E_BADSPEC;
    auto *bytes = static_cast<uint8_t *>(dest);
    VMStreamContext *s = &stream->context;
    return zun::Split(position, count, [&](uint32_t at, uint16_t n, uint32_t done) {
        return s->sfm->read(s, at, n, bytes + done);
    });
}

extern "C" FSStatus VMStreamWrite(VMStream *stream, uint32_t position, uint32_t count,
                                  const void *source) {
    if (stream == nullptr || (source == nullptr && count != 0)) return VM_E_BADSPEC;
    auto *bytes = static_cast<const uint8_t *>(source);
    VMStreamContext *s = &stream->context;
    return zun::Split(position, count, [&](uint32_t at, uint16_t n, uint32_t done) {
        return s->sfm->write(s, at, n, bytes + done);
    });
}

extern "C" uint32_t VMStreamSize(VMStream *stream) {
    return stream == nullptr ? 0 : stream->context.sfm->getSize(&stream->context);
}

extern "C" FSStatus VMStreamSetSize(VMStream *stream, uint32_t size) {
    if (stream == nullptr) return VM_E_BADSPEC;
    return stream->context.sfm->setSize(&stream->context, size);
}

extern "C" void VMStreamClose(VMStream *stream) {
    if (stream == nullptr) return;
    stream->context.sfm->close(&stream->context);
    std::free(stream);
}

extern "C" FSStatus VMStreamDestroy(void *fcb, uint16_t tid) {
    VMStream *stream;
    FSStatus status = zun::Bind(fcb, tid, 0, &stream);
    if (status != 0) return status;
    status = stream->context.sfm->destroy(&stream->context);
    std::free(stream);
    return status;
}
