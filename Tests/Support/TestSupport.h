// Shared helpers for the test suites: a temporary folder, pumping the game thread
// until a condition holds, and a fixture that gives each test a fresh saved folder.
#pragma once

#include "CoreTypes.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>

// A fresh folder under the system's temp directory, removed with everything in it.
class FTempDir
{
public:
    FTempDir();
    ~FTempDir();
    FTempDir(const FTempDir&) = delete;
    FTempDir& operator=(const FTempDir&) = delete;
    const FString& Path() const { return Root; }
    FString File(const FString& Name) const;

private:
    FString Root;
};

// How long a test waits for work on other threads before it fails. Generous on
// purpose: sanitizer builds on a loaded machine run many times slower, and a test
// that passes never waits this long.
inline constexpr std::chrono::seconds TestDeadline{60};

// Pumps game-thread tasks until Condition holds or the deadline passes (real time).
// Returns whether the condition held. For work that completes on other threads.
bool PumpUntil(const std::function<bool()>& Condition,
               std::chrono::milliseconds Deadline = TestDeadline);

// Gives each test its own saved folder, a clean fault table, the plugin folder
// registered with the plugin manager, and the calling thread as the game thread.
class FEngineTestBase : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    FTempDir Saved;
};

// Runs a shell command (an independent tool used as an oracle) and returns its exit
// status (-1 when it did not exit), with stdout and stderr in OutOutput.
int32 RunCommand(const FString& Command, FString& OutOutput);

// A loopback port that nothing listens on (bound, then closed).
int ClosedLoopbackPort();
