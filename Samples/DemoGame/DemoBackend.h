// The dev backend the sample game records against, started in this process: its
// capture configuration (send interval, quality), its store, an optional fault script,
// progress lines for every batch its store accepts and every fault it injects, and the
// books of what it holds, read back from its store through its replay catalogue (what
// the store really holds, not what the SDK thinks it sent).
//
// Threads: Start, the books and the replay belong to the main thread; the progress
// lines are printed on the server's worker threads.
#pragma once

#include "DemoOptions.h"
#include "DevBackendFaultScripts.h"
#include "DevBackendServer.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// What the store holds for the sessions of the run.
struct FDemoStoreBooks
{
    std::vector<std::string> SessionIds; // in creation order
    int32 Batches = 0;
    int32 Frames = 0;
    int64 Bytes = 0;
    std::map<std::string, int32> GesturesByKind;
    int32 GameEvents = 0;              // the game events the backend took for the sessions
    std::vector<std::string> Problems; // archives the backend could not read
};

class FDemoBackend
{
public:
    explicit FDemoBackend(const FDemoOptions& Options);

    // Starts serving on the options' port; false with a message when it cannot.
    bool Start(std::string& OutError);
    std::string Url() const { return Server.BaseUrl(); }

    FDemoStoreBooks ReadBooks();
    std::string ReplayUrl(const std::string& SessionId) const;
    // Writes the replay page of every session into Folder (one sub-folder per session
    // when there are several); the page addresses, or false with a message.
    bool ExportReplay(const std::string& Folder, std::vector<std::string>& OutPages,
                      std::string& OutError);
    void Stop() { Server.Stop(); }

private:
    static FDevBackendOptions MakeOptions(const FDemoOptions& Options, FDemoBackend& Self);
    void OnAnswered(const FDevBackendRecordedRequest& Record);
    void PrintNewObjects();
    // The replay detail of a session (what the store holds); null when unknown.
    nlohmann::json SessionDetail(const std::string& SessionId);

    // Declared before the server, which calls into them until it has stopped.
    std::unique_ptr<FDevBackendFaultScript> Faults; // set at construction
    std::mutex PrintedMutex;
    std::set<std::string> PrintedObjects; // guarded by PrintedMutex: "session/name"
    FDevBackendServer Server;
};
