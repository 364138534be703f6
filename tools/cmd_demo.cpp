// demo: a tour of zunfs on a small document, step by step: create, save,
// mini-save, a crash in the middle of a save, the crash code at the next
// open, recovery of the mini-saved version, check and compaction.
#include <cstring>
#include <filesystem>
#include <vector>

#include "cli.h"

namespace tool {

namespace {

enum : uint8_t { kPoints = 4, kNotes = 5, kText = 6 };

struct Point {
    double x, y;
};
static_assert(sizeof(Point) == 16);

constexpr size_t kNoteText = 28; // a note: 28 bytes of text, then its RID

std::vector<FSClassDesc> DemoClasses() {
    return {
        {0, 0, 5, 8, sizeof(Point), 64, 16, 1},                 // points
        {FS_CLASS_RIDS, 0, 5, 8, kNoteText + 4, 16, 4, 1},      // notes, ending with a RID
        {0, 0, 5, 8, 1, 4096, 1024, 1},                          // bytes of a stream
    };
}

// What the document should hold; compared with what the library reads back.
struct Model {
    std::vector<Point> points;
    std::vector<std::string> notes;
    std::string text;
};

Point PointAt(uint32_t i) { return {i * 0.5, 100.0 - i}; }

std::string NoteText(const std::byte *record) {
    std::string s(reinterpret_cast<const char *>(record), kNoteText);
    return s.substr(0, s.find('\0'));
}

class Tour {
public:
    explicit Tour(const std::string &dir) : dir_(dir), ctx_(dir, DemoClasses(), 0x5A44, 0x0100) {}

    int Run() {
        std::printf("zunfs demo: a tour in %s\n", dir_.c_str());
        std::filesystem::current_path(dir_);
        zunfs::StreamCallbacks callbacks; // byte streams in tables go through the library's callbacks
        CreateAndSave();
        ChangeAndMiniSave();
        CrashDuringSave();
        Reopen();
        int status = RecoverAndCheck();
        status |= CompactAfterChanges();
        std::printf("\n%s\n", status == 0 ? "The tour is over: every step did what it said." : "The tour found faults.");
        return status;
    }

    // The tour runs in its folder: the files have short names.
    static std::string Doc() { return "doc.zf"; }
    static std::string Recovered() { return "recovered.zf"; }

private:
    void Step(const char *title) { std::printf("\n%d. %s\n", ++step_, title); }

    void CreateAndSave() {
        Step("Create a document: two tables of records and a byte stream");
        zunfs::File file = zunfs::File::create(ctx_);
        tids_[0] = file.make_table(kPoints);
        tids_[1] = file.make_table(kNotes);
        AddPoints(file, 200);
        {
            zunfs::Session notes = file.check_out(tids_[1], zunfs::Mode::write);
            for (const char *text : {"buy milk", "call the office", "fix the fence", "water the plants", "read"}) {
                std::span<std::byte> record = notes.add_locked(RIX_LAST, 1); // the library stamps its RID
                std::memcpy(record.data(), text, std::strlen(text));
                notes.unlock();
                model_.notes.push_back(text);
            }
            std::printf("   TID %u: %zu points, 16-byte records (class %u)\n", tids_[0], model_.points.size(), kPoints);
            std::printf("   TID %u: %u notes, 32-byte records ending with a RID (class %u): RIDs %u to %u\n",
                        tids_[1], notes.size(), kNotes, notes.rid(0), notes.rid(notes.size() - 1));
        }
        {
            zunfs::Stream text = zunfs::Stream::create(file, kText);
            Append(text, "A storage file keeps tables of fixed-size records. ");
            tids_[2] = text.table();
            std::printf("   TID %u: a byte stream of %u bytes, written through the callback table (class %u)\n",
                        tids_[2], text.size(), kText);
        }
        file.save_as(Doc());
        std::printf("   saved as %s: %s, one version (saved)\n", Doc().c_str(), Bytes(FileLength(Doc())).c_str());
        file.close(true);
    }

    void ChangeAndMiniSave() {
        Step("Change it and mini-save");
        zunfs::File file = zunfs::File::open(Doc(), ctx_);
        {
            zunfs::Session points = file.check_out(tids_[0], zunfs::Mode::write);
            points.erase(50, 50);
            model_.points.erase(model_.points.begin() + 50, model_.points.begin() + 100);
            zunfs::Session notes = file.check_out(tids_[1], zunfs::Mode::write);
            uint32_t rix = notes.rix_of(3);
            std::span<std::byte> record = notes.lock(rix);
            notes.dirty();
            std::memset(record.data(), 0, kNoteText);
            std::memcpy(record.data(), "fence fixed", 11);
            notes.unlock();
            model_.notes[rix] = "fence fixed";
            zunfs::Stream text = zunfs::Stream::open(file, tids_[2], zunfs::Mode::write);
            Append(text, "Versions share every chunk none of them changed.");
        }
        std::printf("   deleted points 50 to 99, rewrote the note with RID 3, appended to the stream\n");
        file.mini_save();
        std::printf("   mini-saved: the file now holds a saved and a mini-saved version (%s)\n",
                    Bytes(FileLength(Doc())).c_str());
        mini_ = model_;
        file.close(true);
    }

    void CrashDuringSave() {
        Step("Change it again, save, and stop the machine in the middle of the save");
        zunfs::File file = zunfs::File::open(Doc(), ctx_, zunfs::Version::mini);
        AddPoints(file, 300);
        file.destroy_table(tids_[1]);
        std::printf("   added 300 points and destroyed the notes table\n");
        VMFaultCrashAfter(2, 0); // after two more writes nothing reaches the disk
        file.save();             // each write reports success; only the first two land
        file.close(true);
        std::printf("   the save stopped after %s; the header that would name the new version never landed\n",
                    VMFaultCrashed() ? "two writes" : "its last write");
        VMFaultReset();
    }

    void Reopen() {
        Step("Open the document again");
        try {
            zunfs::File file = zunfs::File::open(Doc(), ctx_);
            throw Failure(Doc() + ": opened as if it had not crashed");
        } catch (const zunfs::Error &e) {
            std::printf("   open answers %u: %s\n", e.status(), e.what());
        }
        Report r = CheckFile(Doc());
        std::printf("   zunfs info: %s; versions on disk: %s; recoverable: %s\n",
                    r->leftOpen ? "left open by a crash" : "closed cleanly", VersionNames(r->versionFlags).c_str(),
                    VersionNames(r->recoverable).c_str());
    }

    int RecoverAndCheck() {
        Step("Recover the mini-saved version: zunfs recover doc.zf recovered.zf --version mini");
        CopyOptions o;
        o.path = Doc();
        o.out = Recovered();
        o.version = "mini";
        o.progress = stdout;
        o.indent = "   ";
        int status = Recover(o);
        Expect(Recovered(), mini_);
        std::printf("   it holds what was mini-saved: %zu points, %zu notes, %zu bytes of text\n", mini_.points.size(),
                    mini_.notes.size(), mini_.text.size());

        Step("Check both files: zunfs check");
        status |= Check(Doc(), false, "   ");
        status |= Check(Recovered(), false, "   ");
        return status;
    }

    int CompactAfterChanges() {
        Step("Work on, save twice, and compact: zunfs compact recovered.zf");
        {
            zunfs::File file = zunfs::File::open(Recovered(), ctx_);
            AddPoints(file, 500);
            file.save();
            zunfs::Session points = file.check_out(tids_[0], zunfs::Mode::write);
            points.erase(0, 400);
            points.check_in();
            file.save();
            file.close(true);
        }
        std::printf("   added 500 points and saved, deleted 400 and saved: the old images are free space now\n");
        CopyOptions o;
        o.path = Recovered();
        o.progress = stdout;
        o.indent = "   ";
        return Compact(o);
    }

    void AddPoints(zunfs::File &file, uint32_t count) {
        zunfs::Session s = file.check_out(tids_[0], zunfs::Mode::write);
        uint32_t first = s.size();
        s.add(RIX_LAST, count);
        uint32_t i = first;
        for (const zunfs::Chunk &chunk : s.chunks(first)) {
            s.dirty();
            for (std::span<std::byte> record : chunk) {
                Point p = PointAt(i++);
                std::memcpy(record.data(), &p, sizeof p);
                model_.points.push_back(p);
            }
        }
    }

    void Append(zunfs::Stream &stream, const std::string &text) {
        stream.write(stream.size(), std::as_bytes(std::span(text.data(), text.size())));
        model_.text += text;
    }

    // The file at path holds what the model says, read back through sessions.
    void Expect(const std::string &path, const Model &m) {
        zunfs::File file = zunfs::File::open(path, ctx_);
        zunfs::Session points = file.check_out(tids_[0]);
        std::vector<Point> got(points.size());
        if (!got.empty()) points.read(0, std::as_writable_bytes(std::span(got)));
        zunfs::Session notes = file.check_out(tids_[1]);
        std::vector<std::string> texts;
        for (const zunfs::Chunk &chunk : notes.chunks())
            for (std::span<std::byte> record : chunk) texts.push_back(NoteText(record.data()));
        zunfs::Stream stream = zunfs::Stream::open(file, tids_[2]);
        std::string text(stream.size(), '\0');
        stream.read(0, std::as_writable_bytes(std::span(text.data(), text.size())));
        bool same = got.size() == m.points.size() &&
                    std::memcmp(got.data(), m.points.data(), got.size() * sizeof(Point)) == 0 && texts == m.notes &&
                    text == m.text;
        if (!same) throw Failure(path + ": does not hold what was mini-saved");
    }

    std::string dir_;
    zunfs::Context ctx_;
    uint16_t tids_[3] = {};
    Model model_, mini_;
    int step_ = 0;
};

std::string MakeTempFolder() {
    std::string pattern = ScratchFolder() + "/zunfs-demo-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw Failure("cannot make a folder in " + ScratchFolder());
    return pattern;
}

} // namespace

void AddDemo(CLI::App &app, int &exitCode) {
    auto *cmd = app.add_subcommand("demo", "A tour: create, save, mini-save, crash, recover, check, compact");
    auto dir = std::make_shared<std::string>();
    cmd->add_option("DIR", *dir, "Folder for the tour's files, kept afterwards (default: a temporary one)");
    cmd->footer("Makes doc.zf and recovered.zf in DIR (never over files of those names) and\n"
                "prints each step; the exit status is 0 when every step did what it said.");
    cmd->callback([dir, &exitCode] {
        bool temporary = dir->empty();
        std::error_code ec;
        std::filesystem::path home = std::filesystem::current_path();
        if (!temporary) std::filesystem::create_directories(*dir, ec);
        std::string folder = temporary ? MakeTempFolder() : std::filesystem::absolute(*dir).string();
        // Files in a folder of the user's are never written over.
        for (const std::string &name : {Tour::Doc(), Tour::Recovered()})
            if (std::filesystem::exists(folder + "/" + name, ec))
                throw Failure(folder + " holds " + name + " already: remove it or name another folder");
        struct Cleanup {
            std::filesystem::path home;
            std::string folder;
            bool remove;
            ~Cleanup() {
                std::error_code ignored;
                std::filesystem::current_path(home, ignored);
                if (remove) std::filesystem::remove_all(folder, ignored);
            }
        } cleanup{home, folder, temporary};
        exitCode = Tour(folder).Run();
        if (!temporary) std::printf("The files are in %s.\n", folder.c_str());
    });
}

} // namespace tool
