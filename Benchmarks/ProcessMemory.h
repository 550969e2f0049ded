// The process's own memory figures, as Linux reports them, for the benchmarks that
// compare peak memory between runs.
#pragma once

#include "CoreTypes.h"

#include <cstring>
#include <fstream>
#include <string>

// A "kB" field of /proc/self/status ("VmRSS:", "VmHWM:"...), in KiB; -1 when missing.
inline int64 ReadStatusKib(const char* Field)
{
    std::ifstream Status("/proc/self/status");
    for (std::string Line; std::getline(Status, Line);)
    {
        if (Line.rfind(Field, 0) == 0)
        {
            return std::stoll(Line.substr(std::strlen(Field)));
        }
    }
    return -1;
}
