// The process command line and switch parsing.
#pragma once

#include "CoreTypes.h"

struct FCommandLine
{
    static FString Get();
    static void Set(const FString& CommandLine);
};

struct FParse
{
    // True when Stream contains the switch "-Switch" (or "/Switch") as a whole
    // word, ignoring case. Switch is given without its leading dash.
    static bool Param(const FString& Stream, const FString& Switch);
};
