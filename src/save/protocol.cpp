// The commit point of every move of ownership: stored list, flush, header,
// flush, then the new list.
#include "save/protocol.h"

#include <cstring>

namespace {

FSStatus Flush(FCB *fcb) {
    FSStatus status = VMFlushFile(fcb->file);
    if (status == FS_E_DISKFULL) fcb->h.stateFlags |= STATE_DISK_FULL;
    return status;
}

// Takes the persistent fields of a header that reached the file (everything
// before the run-time fields at offset 112) into the FCB, except the status.
void TakeHeader(FCB *fcb, const FileHeader &image) {
    const uint16_t status = fcb->h.lastStatus;
    std::memcpy(&fcb->h, &image, offsetof(FileHeader, classTableSlot));
    fcb->h.lastStatus = status;
}

} // namespace

FSStatus SVCommitHeader(FCB *fcb, VersionCommit &c, FileHeader &image) {
    BKCommitHeader(c, image);
    FSStatus status = BKWriteCommitList(fcb, c); // rule 3: free before the move, or new
    if (status == 0) status = Flush(fcb);        // rule 4
    if (status != 0) {
        BKDropCommit(fcb, &c); // rule 6: as it was
        return status;
    }
    status = FSWriteHeaderImage(fcb, image); // rule 5
    if (status != 0) {
        BKDropCommit(fcb, &c);
        fcb->h.stateFlags |= STATE_FATAL; // rule 6: the disk is unknown
        if (status == FS_E_DISKFULL) fcb->h.stateFlags |= STATE_DISK_FULL;
        return status;
    }
    TakeHeader(fcb, image);
    status = Flush(fcb); // rule 5
    if (status != 0) {
        BKAdoptCommitUnsure(fcb, &c); // rule 6: reuse nothing
        return status;
    }
    BKAdoptCommit(fcb, &c);
    return 0;
}

FSStatus SVWriteHeader(FCB *fcb) {
    FSStatus status = Flush(fcb); // rule 4
    if (status == 0) status = FSWriteHeader(fcb);
    if (status == 0) status = Flush(fcb); // rule 5
    return status;
}
