// The file check, FSIsFileWriteable and FSFileInfo.
#include "session/file_check.h"

namespace {

constexpr uint16_t MAJOR_MASK = 0xFF00;
constexpr uint16_t MAJOR_CURRENT = FORMAT_CURRENT & MAJOR_MASK; // 0x200
constexpr uint16_t OLD_APP_VERSION = 0x301;                    // what old-format files count as
constexpr uint16_t OLD_FILE_TYPE = 0x5155;

uint16_t Swap(uint16_t v) { return static_cast<uint16_t>(v << 8 | v >> 8); }

// The tests of steps 4 to 8 on a header read into h.
FSStatus Judge(const FileHeader &h, const FSContext *ctx, FileCheck *out) {
    uint16_t magic = h.magic, format = h.formatVersion, type = h.fileType, app = h.appVersion;
    if (magic == MAGIC_OTHER_ORDER) {
        out->foreign = true;
        magic = FS_MAGIC;
        format = Swap(format);
        type = Swap(type);
        app = Swap(app);
    }
    const uint16_t major = format & MAJOR_MASK;
    if (major < MAJOR_CURRENT) out->needsConversion = true;
    if (major == 0) {
        app = OLD_APP_VERSION;
        type = OLD_FILE_TYPE;
    }
    if (major >= MAJOR_CURRENT && FSNeedsUpgrade(app, ctx)) out->needsConversion = true;
    if (magic != FS_MAGIC) return FS_E_BAD_FORMAT;
    if (ctx->fileType != 0 && ctx->fileType != type) return FS_E_BAD_FORMAT;
    const bool anyVersion = (ctx->flags & FS_ANY_VERSION) != 0;
    const bool newerApp = ctx->appVersion != 0 && (app & MAJOR_MASK) > (ctx->appVersion & MAJOR_MASK);
    if (!anyVersion && (major > MAJOR_CURRENT || newerApp)) return FS_E_CANNOT_CONVERT;
    if (out->needsConversion && out->foreign) return FS_E_TRANSLATE_AND_CONVERT;
    return 0;
}

// Opens the file briefly to take its stamp; false when it cannot be had.
bool TakeStamp(const VMFileSpec *hostSpec, uint32_t *stamp) {
    VMFileSpec probe = *hostSpec;
    if (VMOpenFile(&probe, 0) != 0) return false;
    bool ok = VMGetFileTime(&probe, stamp) == 0;
    VMCloseFile(&probe);
    return ok;
}

void PutStamp(const VMFileSpec *hostSpec, uint32_t stamp) {
    VMFileSpec probe = *hostSpec;
    if (VMOpenFile(&probe, 0) != 0) return;
    VMSetFileTime(&probe, stamp);
    VMCloseFile(&probe);
}

} // namespace

bool FSNeedsUpgrade(uint16_t appVersion, const FSContext *ctx) {
    if (ctx->flags & FS_ANY_VERSION) return appVersion != ctx->appVersion;
    return (appVersion & MAJOR_MASK) < (ctx->appVersion & MAJOR_MASK);
}

FSStatus FSCheckFile(VMFileSpec *spec, const FSContext *ctx, FileHeader *header, FileCheck *out) {
    *out = FileCheck{};
    FSStatus status = VMOpenFile(spec, 1);
    out->writable = status == 0;
    if (status != 0 && (status = VMOpenFile(spec, 0)) != 0) return status;
    out->length = VMFileSize(spec);
    if (out->length >= 1 && out->length < HEADER_SIZE) status = FS_E_BAD_FORMAT;
    if (status == 0) status = VMRead(spec, 0, HEADER_SIZE, header);
    if (status == 0) status = Judge(*header, ctx, out);
    if (status != 0) VMCloseFile(spec);
    return status;
}

extern "C" int32_t FSIsFileWriteable(const VMFileSpec *spec, const FSContext *ctx,
                                     uint32_t *foreignOut) {
    if (foreignOut != nullptr) *foreignOut = 0;
    if (spec == nullptr || ctx == nullptr) return 0;
    VMFileSpec probe = *spec;
    FileHeader h;
    FileCheck check;
    if (FSCheckFile(&probe, ctx, &h, &check) != 0) return 0;
    VMCloseFile(&probe);
    if (foreignOut != nullptr) *foreignOut = check.foreign ? 1 : 0;
    return check.writable && !check.needsConversion ? 1 : 0;
}

extern "C" FSStatus FSFileInfo(const VMFileSpec *spec, const FSContext *ctx, uint32_t *foreignOut,
                               uint32_t *convertOut, uint32_t *writableOut,
                               uint16_t *appVersionOut) {
    if (spec == nullptr || ctx == nullptr) return FS_E_BAD_PARAMS;
    // Opening for the check leaves the file's stamp alone on this platform;
    // it is put back all the same, as the host relies on it.
    uint32_t stamp = 0;
    const bool stamped = TakeStamp(spec, &stamp);
    VMFileSpec probe = *spec;
    FileHeader h;
    FileCheck check;
    FSStatus status = FSCheckFile(&probe, ctx, &h, &check);
    if (status == 0) {
        VMCloseFile(&probe);
        if (foreignOut != nullptr) *foreignOut = check.foreign ? 1 : 0;
        if (appVersionOut != nullptr) *appVersionOut = h.appVersion; // as stored
    }
    if (convertOut != nullptr) *convertOut = check.needsConversion ? 1 : 0;
    if (writableOut != nullptr) *writableOut = check.writable ? 1 : 0;
    if (stamped) PutStamp(spec, stamp);
    return status;
}
