#pragma once

#include <cstdio>
#include <exception>

// A benchmark's main: its run, with a step that throws said on stderr and
// ending it with status 1.
inline int RunBench(int (*run)(int, char**), int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
