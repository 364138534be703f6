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
        std::unique_ptr<Doc> doc;
        Seen seen;
        FSStatus status = 0xFFFF;
    } jobs[2];
    for (int i = 0; i < 2; ++i) {
        jobs[i].folder = Path(std::to_string(i));
        std::filesystem::create_directory(jobs[i].folder);
        jobs[i].doc = std::make_unique<Doc>(jobs[i].folder, (i + 1) * 16 * 1024);
        jobs[i].doc->Fill(80 + i);
        jobs[i].doc->Insert(0, RIX_LAST, 2000, 90 + i);
        jobs[i].seen.context = 1000 + i;
    }
    auto run = [](Job *job) {
        g_seen = &job->seen;
        VMFileSpec target = Spec(job->folder + "/new.zf");
        job->status = FSSaveAsExt(Count, job->seen.context, job->doc->fcb, &target);
    };
    std::thread first(run, &jobs[0]), second(run, &jobs[1]);
    first.join();
    second.join();
    for (Job &job : jobs) {
        EXPECT_EQ(job.status, 0);
        EXPECT_EQ(job.seen.wrongContext, 0);
        EXPECT_GT(job.seen.writes, 0);
        EXPECT_EQ(job.seen.ends, 1);
        ExpectFileHolds(job.folder + "/new.zf", job.doc->tables);
        job.doc->ExpectRecords();
    }
}

} // namespace
