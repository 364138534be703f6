// Two files saved as on two threads at once: each save-as keeps its own
// callback, context and buffer.
#include <filesystem>
#include <thread>

#include "saveas/saveas_fixture.h"

namespace {

struct Seen {
    uintptr_t context = 0;
    int wrongContext = 0;
    int writes = 0;
    int ends = 0;
};
thread_local Seen *g_seen = nullptr;

FSStatus Count(const void *a, const void *b) {
    if (a != nullptr) return 0;
    const auto *p = static_cast<const FSProgress *>(b);
    g_seen->wrongContext += p->context != g_seen->context;
    g_seen->writes += p->code == 1;
    g_seen->ends += p->code == 2;
    return 0;
}

TEST_F(SaveAsTest, TwoFilesOnTwoThreads) {
    struct Job {
        std::string folder;
        FSContext ctx;
        FCB *fcb = nullptr;
        Doc doc;
        Seen seen;
        FSStatus status = 0xFFFF;
    } jobs[2];
    auto run = [](Job *job, uint32_t seed) {
        g_seen = &job->seen;
        std::mt19937 rng(seed);
        if (FSCreate(&job->ctx, &job->fcb) != 0) return;
        DocMakeTable(job->fcb, job->doc, 5);
        DocChange(job->fcb, job->doc, rng, 40);
        AddBulk(job->fcb, job->doc, rng, 70000);
        VMFileSpec target{};
        VMMakeFileSpec((job->folder + "/new.zf").c_str(), 0, &target);
        job->status = FSSaveAsExt(Count, job->seen.context, job->fcb, &target);
    };
    for (int i = 0; i < 2; ++i) {
        jobs[i].folder = Path(std::to_string(i));
        std::filesystem::create_directory(jobs[i].folder);
        jobs[i].ctx = DocContext(jobs[i].folder, (i + 1) * 16 * 1024);
        jobs[i].seen.context = 1000 + i;
    }
    std::thread first(run, &jobs[0], 30), second(run, &jobs[1], 31);
    first.join();
    second.join();
    for (Job &job : jobs) {
        EXPECT_EQ(job.status, 0);
        EXPECT_EQ(job.seen.wrongContext, 0);
        EXPECT_GT(job.seen.writes, 0);
        EXPECT_EQ(job.seen.ends, 1);
        EXPECT_EQ(Differences(job.folder + "/new.zf", job.doc), "");
        EXPECT_TRUE(FileHolds(job.fcb, job.doc));
        FSFileClose(job.fcb, 0);
    }
}

} // namespace
