// Fault injection for the file layer. A test adds a rule naming an operation and a
// path fragment; every file operation that matches then fails or misbehaves the way
// a full disk, a read-only folder or a file removed behind our back would. Rules
// apply process-wide and are checked by every helper of Files.h.
#pragma once

#include "CoreTypes.h"

enum class EFileFault : uint8
{
    FailOpenForWrite, // creating or opening a file for writing fails
    FailWrite,        // writes fail once AfterBytes bytes were written (a full disk)
    FailOpenForRead,  // opening a file for reading fails
    FailRead,         // reads fail once AfterBytes bytes were read
    VanishDuringRead, // after AfterBytes bytes the file is deleted; later reads fail
    ShrinkDuringRead, // after AfterBytes bytes the file is cut to AfterBytes; reads end there
    FailDelete,       // deleting a file fails
    FailMove,         // renaming or moving a file fails
    FailMakeDirectory,
};

struct FFileFaultRule
{
    EFileFault Fault = EFileFault::FailWrite;
    // The rule matches any path containing this text (empty matches every path).
    FString PathContains;
    int64 AfterBytes = 0;
    // How many times the rule may fire; negative means without limit.
    int32 RemainingHits = -1;
};

class FFileFaults
{
public:
    // Returns an id for Remove.
    static int32 Add(const FFileFaultRule& Rule);
    static void Remove(int32 Id);
    static void Clear();
    // Consumes one hit of the first matching rule and returns a copy of it.
    static bool Match(EFileFault Fault, const FString& Path, FFileFaultRule* OutRule = nullptr);
    // How many times rules fired since the last Clear.
    static int32 HitCount();
};

// Adds a rule for the lifetime of a scope.
class FScopedFileFault
{
public:
    explicit FScopedFileFault(const FFileFaultRule& Rule) : Id(FFileFaults::Add(Rule)) {}
    FScopedFileFault(EFileFault Fault, const FString& PathContains, int64 AfterBytes = 0)
        : Id(FFileFaults::Add({Fault, PathContains, AfterBytes, -1}))
    {
    }
    ~FScopedFileFault() { FFileFaults::Remove(Id); }
    FScopedFileFault(const FScopedFileFault&) = delete;
    FScopedFileFault& operator=(const FScopedFileFault&) = delete;

private:
    int32 Id;
};
