// Running GT.M's own tools (GDE, MUPIP, the compiler) as child processes.
#pragma once

#include <string>
#include <vector>

namespace qdo::server {

struct TToolResult {
    int Status = -1;    // the exit status, or -1 when the tool could not run
    std::string Output; // what it wrote to stdout and stderr
};

// Runs `program` with `arguments`, feeding it `input` on stdin, in the current environment
// plus `environment` ("NAME=value" each), in `workingDirectory` (default: the current one).
TToolResult RunTool(const std::string& program, const std::vector<std::string>& arguments,
                    const std::string& input = {}, const std::vector<std::string>& environment = {},
                    const std::string& workingDirectory = {});

// Returns when the tool succeeded; otherwise logs its output a line each, under `what`, and
// throws std::runtime_error saying what failed.
void CheckTool(const TToolResult& result, const std::string& what);

} // namespace qdo::server
