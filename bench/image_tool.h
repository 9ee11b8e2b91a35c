// qu_bench's commands outside Google Benchmark (see image_tool.cpp).
#pragma once

namespace qu_bench {

// Runs `qu_bench --write-image ...`, `--load-image DIR`,
// `--uninstall-image DIR` or `--uninstall-on-hives DIR MS`; returns the
// process's exit status (2 with a usage line for anything else).
int imageTool(int argc, char** argv);

}  // namespace qu_bench
