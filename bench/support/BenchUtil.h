#pragma once
// What the benchmark programs share: where they are, running a tool quietly,
// CPU time, and the median of repeated runs.
#include <string>
#include <vector>

namespace th::bench {

// The folder of the running program (the build's bin folder, beside the tools).
std::string ProgramDir();

// Runs a program found on PATH or by path, with its output thrown away and its
// standard input from `input` when given; its exit status, or -1.
int RunQuiet(const std::vector<std::string>& args, const std::string& input = {});

// CPU seconds (user and system) of this process, and of its finished children.
double CpuSeconds();
double ChildCpuSeconds();

// The median of the values (0 for none).
double Median(std::vector<double> values);

} // namespace th::bench
