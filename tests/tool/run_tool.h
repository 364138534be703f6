// Runs the zunfs tool as a process, as a user or a script would.
#pragma once

#include <string>
#include <vector>

#include "common/gen_bytes.h"

struct ToolRun {
    int status = -1;  // exit status; -1 when the process did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs the tool with args; input (when given) is its standard input.
// Scratch files live in a folder of their own, removed afterwards.
ToolRun RunTool(const std::vector<std::string> &args, const gen::Bytes *input = nullptr);

// The text of a library status, as the tool prints it.
std::string StatusText(unsigned status);
