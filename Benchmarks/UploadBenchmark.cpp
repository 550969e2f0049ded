// Uploading a 64 MiB batch archive over loopback in each store flavour (a raw PUT to
// a signed URL, a B2 POST with the streamed SHA-1, a GCS multipart form written to
// disk then streamed), against curl uploading the same file to the same endpoint in
// the same run. Each SDK case also reports how much it added to the process's peak
// resident memory (the kernel's high-water mark, reset before the case): everything
// streams, so it stays a few MiB whatever the archive's size.
#include "DevBackendServer.h"
#include "Files.h"
#include "HttpModule.h"
#include "ProcessMemory.h"
#include "QuorvexApiClient.h"
#include "Tasks.h"

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace
{
constexpr int64 ArchiveBytes = 64LL << 20;

// A loopback store that reads every body to the end and throws it away.
class FSinkStore
{
public:
    FSinkStore()
    {
        const auto Sink = [this](const httplib::Request& Request, httplib::Response& Response,
                                 const httplib::ContentReader& Reader)
        {
            int64 Got = 0;
            const auto Count = [&](const char*, size_t Length)
            {
                Got += static_cast<int64>(Length);
                return true;
            };
            if (Request.is_multipart_form_data())
            {
                Reader([](const httplib::MultipartFormData&) { return true; }, Count);
            }
            else
            {
                Reader(Count);
            }
            Received.store(Got);
            Response.set_content("{}", "application/json");
        };
        Server.Put("/sink/.*", Sink);
        Server.Post("/sink/.*", Sink);
        Port = Server.bind_to_any_port("127.0.0.1");
        Thread = std::thread([this] { Server.listen_after_bind(); });
    }
    ~FSinkStore()
    {
        Server.stop();
        Thread.join();
    }
    FString Url(const char* Path) const
    {
        return "http://127.0.0.1:" + std::to_string(Port) + "/sink/" + Path;
    }
    std::atomic<int64> Received{0};

private:
    httplib::Server Server;
    int Port = 0;
    std::thread Thread;
};

FSinkStore& Store()
{
    static FSinkStore Instance;
    return Instance;
}

const FString& Archive()
{
    static const FString Path = []
    {
        const FString Folder =
            (std::filesystem::temp_directory_path() / "quorvex-upload-bench").string();
        std::filesystem::create_directories(Folder);
        const FString File = Folder + "/batch.zip";
        std::ofstream Out(File, std::ios::binary);
        std::string Chunk(1 << 20, '\0');
        for (int64 Written = 0; Written < ArchiveBytes; Written += static_cast<int64>(Chunk.size()))
        {
            for (size_t I = 0; I < Chunk.size(); ++I)
            {
                Chunk[I] = static_cast<char>((I * 131 + static_cast<size_t>(Written)) >> 5);
            }
            Out.write(Chunk.data(), static_cast<std::streamsize>(Chunk.size()));
        }
        return File;
    }();
    return Path;
}

// Resets the peak resident size to the current one (Linux: clear_refs "5").
void ResetPeakMemory()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

FQuorvexUploadTarget Target(const char* Flavour)
{
    FQuorvexUploadCredentials C;
    C.UploadUrl = Store().Url(Flavour);
    if (std::string(Flavour) == "b2")
    {
        C.AuthorizationToken = "bench-token";
    }
    if (std::string(Flavour) == "gcs")
    {
        C.StorageProvider = "GCS";
        C.FormFields.Add("policy", std::string(600, 'p'));
        C.FormFields.Add("x-goog-signature", std::string(64, 's'));
        C.UploadMethod = "POST";
    }
    FQuorvexUploadTarget Out;
    FQuorvexApiClient::TryBuildUploadTarget(C, "bench-session", 1, 0, Archive(), Out);
    return Out;
}

// Uploads the archive and pumps the game thread until the completion ran.
bool UploadAndWait(FQuorvexApiClient& Client, const FQuorvexUploadTarget& UploadTarget)
{
    bool bDone = false;
    bool bOk = false;
    Client.UploadEventZipAsync(UploadTarget, Archive(),
                               [&](const FQuorvexHttpResult& Result)
                               {
                                   bOk = Result.bSuccess;
                                   bDone = true;
                               });
    while (!bDone)
    {
        FTaskGraph::WaitForGameThreadTask(1.0);
        FTaskGraph::PumpGameThreadTasks();
    }
    return bOk;
}

void UploadOnce(FQuorvexApiClient& Client, const FQuorvexUploadTarget& UploadTarget)
{
    if (!UploadAndWait(Client, UploadTarget) || Store().Received.load() < ArchiveBytes)
    {
        std::fprintf(stderr, "upload failed\n");
        std::abort();
    }
}

void BM_SdkUpload64MiB(benchmark::State& State, const char* Flavour)
{
    FTaskGraph::SetGameThread();
    Archive();
    FQuorvexApiClient Client;
    Client.SetRetryScheduler([](float, std::function<void()> Retry) { Retry(); });
    const FQuorvexUploadTarget UploadTarget = Target(Flavour);
    UploadOnce(Client, UploadTarget); // warm the connection path and the page cache
    const int64 BaselineKib = ReadStatusKib("VmRSS:");
    ResetPeakMemory();
    for (auto _ : State)
    {
        UploadOnce(Client, UploadTarget);
    }
    State.counters["PeakAddedMiB"] =
        static_cast<double>(ReadStatusKib("VmHWM:") - BaselineKib) / 1024.0;
    State.SetBytesProcessed(State.iterations() * ArchiveBytes);
}
BENCHMARK_CAPTURE(BM_SdkUpload64MiB, SignedPut, "put")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_SdkUpload64MiB, B2Post, "b2")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_SdkUpload64MiB, GcsForm, "gcs")->Unit(benchmark::kMillisecond)->UseRealTime();

// Peers: curl sending the same file to the same endpoint, as a PUT and as a form
// (which it streams without writing the form to disk first); its process start is
// included, a few milliseconds against a transfer of a hundred or more.
void BM_PeerCurl64MiB(benchmark::State& State, const char* Arguments)
{
    const std::string Command =
        "curl -s -o /dev/null " + std::string(Arguments) + " '" + Store().Url("curl") + "'";
    for (auto _ : State)
    {
        if (std::system(Command.c_str()) != 0)
        {
            State.SkipWithError("curl failed");
            return;
        }
    }
    State.SetBytesProcessed(State.iterations() * ArchiveBytes);
}
const std::string PutArguments = "-T '" + Archive() + "'";
const std::string FormArguments =
    "-F policy=" + std::string(600, 'p') + " -F file=@'" + Archive() + "'";
BENCHMARK_CAPTURE(BM_PeerCurl64MiB, Put, PutArguments.c_str())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_PeerCurl64MiB, Form, FormArguments.c_str())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// The same upload into the dev backend's signed-URL store, which checks the signature
// and writes every object to disk, against curl PUTting the same file to the same
// signed URL with the same signed header.
struct FDevStore
{
    FDevStore()
    {
        FDevBackendOptions Options;
        Options.Store.Style = EDevBackendStore::SignedPut;
        Server = std::make_unique<FDevBackendServer>(Options);
        std::string Error;
        if (!Server->Start(Error))
        {
            std::fprintf(stderr, "dev backend: %s\n", Error.c_str());
            std::abort();
        }
        Client.SetBaseHostUrlProvider([this] { return FString(Server->BaseUrl()); });
        Client.SetRetryScheduler([](float, std::function<void()> Retry) { Retry(); });
        FQuorvexConfigRequest Request;
        Request.InGameId = "bench";
        Request.Sdk.Version = "2.0.0";
        bool bDone = false;
        Client.CreateSessionAsync(Request,
                                  [&](const FQuorvexHttpResult& Result)
                                  {
                                      FString ParseError;
                                      FQuorvexApiClient::ParseSessionResponse(Result.ResponseBody,
                                                                              Session, ParseError);
                                      bDone = true;
                                  });
        while (!bDone)
        {
            FTaskGraph::WaitForGameThreadTask(1.0);
            FTaskGraph::PumpGameThreadTasks();
        }
        FQuorvexApiClient::TryBuildUploadTarget(Session.UploadCredentials, Session.SessionId, 1, 0,
                                                Archive(), Target);
    }
    std::unique_ptr<FDevBackendServer> Server;
    FQuorvexApiClient Client;
    FQuorvexSessionData Session;
    FQuorvexUploadTarget Target;
};

FDevStore& DevStore()
{
    static FDevStore Instance;
    return Instance;
}

void BM_SdkUploadToDevStore64MiB(benchmark::State& State)
{
    FTaskGraph::SetGameThread();
    FDevStore& Store = DevStore();
    for (auto _ : State)
    {
        if (!UploadAndWait(Store.Client, Store.Target))
        {
            State.SkipWithError("upload refused");
            return;
        }
    }
    State.SetBytesProcessed(State.iterations() * ArchiveBytes);
}
BENCHMARK(BM_SdkUploadToDevStore64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PeerCurlToDevStore64MiB(benchmark::State& State)
{
    FTaskGraph::SetGameThread();
    const std::string Command = "curl -sf -o /dev/null -H 'Content-Type: application/zip' -T '" +
                                Archive() + "' '" + DevStore().Target.UploadUrl + "'";
    for (auto _ : State)
    {
        if (std::system(Command.c_str()) != 0)
        {
            State.SkipWithError("curl failed");
            return;
        }
    }
    State.SetBytesProcessed(State.iterations() * ArchiveBytes);
}
BENCHMARK(BM_PeerCurlToDevStore64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
} // namespace

BENCHMARK_MAIN();
