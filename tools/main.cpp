// zunfs: look inside storage files, check them, repair what can be
// repaired, and script them.
//
// Exit status: 0 success; 1 the command failed (a library status, a fault
// found by check); 2 the command line was wrong.
#include <cstdio>
#include <exception>

#include "cli.h"

int main(int argc, char **argv) {
    CLI::App app("Look inside zunfs storage files, check them, recover and compact them, and\n"
                 "move records in and out.",
                 "zunfs");
    app.require_subcommand(1);
    int exitCode = 0;
    tool::AddInfo(app, exitCode);
    tool::AddTables(app, exitCode);
    tool::AddDump(app, exitCode);
    tool::AddCheck(app, exitCode);
    tool::AddCompact(app, exitCode);
    tool::AddRecover(app, exitCode);
    tool::AddCreate(app, exitCode);
    tool::AddImport(app, exitCode);
    tool::AddExport(app, exitCode);
    tool::AddDemo(app, exitCode);
    // Set after the commands are added, which would inherit it.
    app.footer("Run `zunfs COMMAND --help` for the options of a command.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    } catch (const std::exception &e) {
        std::string command = app.get_subcommands().empty() ? "" : " " + app.get_subcommands()[0]->get_name();
        std::fflush(stdout);
        std::fprintf(stderr, "zunfs%s: %s\n", command.c_str(), e.what());
        return 1;
    }
    return exitCode;
}
