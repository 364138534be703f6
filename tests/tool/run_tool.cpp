// Runs the zunfs tool as a process through the shell, with its standard
// streams redirected to files.
#include "run_tool.h"

#include <cstdlib>
#include <sys/wait.h>

#include <zunfs/zunfs.h>

namespace {

std::string Quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string Text(const gen::Bytes &b) { return std::string(b.begin(), b.end()); }

} // namespace

ToolRun RunTool(const std::vector<std::string> &args, const gen::Bytes *input) {
    gen::TempDir dir;
    std::string in = dir.File("in"), out = dir.File("out"), err = dir.File("err");
    gen::WriteFile(in, input != nullptr ? *input : gen::Bytes{});
    std::string command = Quote(ZUNFS_TOOL_PATH);
    for (const std::string &a : args) command += " " + Quote(a);
    command += " <" + Quote(in) + " >" + Quote(out) + " 2>" + Quote(err);
    ToolRun run;
    int raw = std::system(command.c_str());
    if (raw != -1 && WIFEXITED(raw)) run.status = WEXITSTATUS(raw);
    run.out = Text(gen::ReadFile(out));
    run.err = Text(gen::ReadFile(err));
    return run;
}

std::string StatusText(unsigned status) {
    char text[256];
    return FSErrorStr(static_cast<FSStatus>(status), text, sizeof text) ? text : "";
}
