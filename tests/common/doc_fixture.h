// Files of a host for tests of saving, opening and crashing: a scratch
// folder, the model's context, and a document with a saved, a mini-saved
// and a current version in a file of the host's (not a scratch file).
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "common/clean_file.h"
#include "common/doc_model.h"
#include "common/gen_bytes.h"
#include "common/scratch_fcb.h"
#include "session/format.h"

class DocFileTest : public ::testing::Test {
protected:
    virtual uint32_t MemBudget() { return 0; }
    void SetUp() override {
        VMFaultReset();
        ASSERT_FALSE((folder_ = MakeMemoryScratchFolder()).empty());
        ctx_ = DocContext(folder_, MemBudget());
        path_ = folder_ + "/doc.zf";
        ASSERT_EQ(VMMakeFileSpec(path_.c_str(), 0, &spec_), 0);
    }
    void TearDown() override {
        VMFaultReset();
        if (fcb_ != nullptr) FSFileClose(fcb_, 1);
        RemoveScratchFolder(folder_);
    }

    // A new document saved as the host's file at path_ (closed), holding
    // saved_: three tables with a few chunks each.
    void MakeSavedFile(uint32_t seed = 1) {
        std::mt19937 rng(seed);
        saved_.clear();
        std::remove(path_.c_str());
        FCB *fcb = nullptr;
        ASSERT_EQ(FSCreate(&ctx_, &fcb), 0);
        for (uint8_t cls : {4, 5, 6}) DocMakeTable(fcb, saved_, cls);
        DocChange(fcb, saved_, rng, 12);
        ASSERT_EQ(FSISaveCommit(fcb, 1, 0), 0);
        // The scratch file, kept, becomes the host's file.
        std::string scratch = VMFileSpecPath(FSFileSpec(fcb));
        FSFileClose(fcb, 1);
        ASSERT_EQ(std::rename(scratch.c_str(), path_.c_str()), 0);
    }

    // Opens the host's file (in place) on the given version.
    FSStatus Open(uint32_t selector = FS_VERSION_CURRENT) {
        return FSFileOpen(&spec_, selector, 0, &ctx_, &fcb_, nullptr);
    }

    // MakeSavedFile, opened, changed and saved again (saved_: its images lie
    // among the space the first save's replaced ones freed), changed and
    // mini-saved (mini_), changed (current_): a file with all three
    // versions, open in fcb_.
    void MakeThreeVersions(uint32_t seed = 1) {
        ASSERT_NO_FATAL_FAILURE(MakeSavedFile(seed));
        ASSERT_EQ(Open(), 0);
        std::mt19937 rng(seed + 100);
        DocChange(fcb_, saved_, rng, 6);
        ASSERT_EQ(FSISaveCommit(fcb_, 1, 0), 0);
        mini_ = saved_;
        DocChange(fcb_, mini_, rng, 10);
        ASSERT_EQ(FSISaveCommit(fcb_, 0, 0), 0);
        current_ = mini_;
        DocChange(fcb_, current_, rng, 10);
    }

    FileHeader HeaderOnDisk() const {
        FileHeader h{};
        gen::Bytes bytes = gen::ReadFile(path_);
        if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
        return h;
    }

    // Opens a scratch copy of the file as it is on disk now (the file may be
    // open elsewhere) and compares the version with doc.
    ::testing::AssertionResult OnDisk(uint32_t selector, const Doc &doc) {
        FCB *copy = nullptr;
        FSStatus status = FSFileOpen(&spec_, selector, 1, &ctx_, &copy, nullptr);
        if (status != 0) return ::testing::AssertionFailure() << "open a copy with selector " << selector << ": " << status;
        ::testing::AssertionResult result = FileHolds(copy, doc);
        return FSFileClose(copy, 0), result;
    }

    std::string folder_, path_;
    VMFileSpec spec_{};
    FSContext ctx_{};
    FCB *fcb_ = nullptr;
    Doc saved_, mini_, current_;
};
