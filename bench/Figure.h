#pragma once

#include <cstdio>
#include <string>

// One line per figure for scripts/bench to gather: FIGURE<TAB>name<TAB>value.
inline void Figure(const std::string& name, double value, int decimals)
{
    std::printf("FIGURE\t%s\t%.*f\n", name.c_str(), decimals, value);
}
