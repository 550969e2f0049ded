// A 64 MiB upload on every store: accepted, stored whole, and streamed end to end, so
// that neither the server nor this test's client holds the body in memory.
#include "DevBackendStoreTestFixture.h"

#include <fstream>

namespace
{
constexpr std::size_t BigUpload = 64u * 1024 * 1024;
constexpr std::size_t Block = 64 * 1024;

// Deterministic bytes of any length, made a block at a time.
void FillBlock(std::size_t Index, char* Out)
{
    unsigned State = static_cast<unsigned>(Index) * 2654435761u + 7;
    for (std::size_t I = 0; I < Block; ++I)
    {
        State = State * 1664525u + 1013904223u;
        Out[I] = static_cast<char>(State >> 24);
    }
}

std::string Sha1OfPattern()
{
    FSHA1 Hash;
    std::vector<char> Bytes(Block);
    for (std::size_t I = 0; I < BigUpload / Block; ++I)
    {
        FillBlock(I, Bytes.data());
        Hash.Update(Bytes.data(), Block);
    }
    return FSHA1::ToHex(Hash.Final());
}

// The process's peak resident memory in KiB, and a way to start measuring it anew.
long PeakResidentKiB()
{
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
    {
        if (Line.rfind("VmHWM:", 0) == 0)
        {
            return std::stol(Line.substr(6));
        }
    }
    return -1;
}

bool ResetPeak()
{
    std::ofstream ClearRefs("/proc/self/clear_refs");
    ClearRefs << "5";
    return static_cast<bool>(ClearRefs.flush());
}
} // namespace

class FDevBackendStoreStreamingTest : public FDevBackendStoreTest
{
protected:
    // Sends Head, the pattern and Tail as one body, produced a block at a time.
    httplib::Result SendStreamed(const FStoreRequest& Request, const std::string& Head,
                                 const std::string& Tail)
    {
        const std::size_t Total = Head.size() + BigUpload + Tail.size();
        std::vector<char> Scratch(Block);
        const auto Provider = [&](std::size_t Offset, std::size_t, httplib::DataSink& Sink)
        {
            if (Offset < Head.size())
            {
                return Sink.write(Head.data() + Offset, Head.size() - Offset);
            }
            const std::size_t InFile = Offset - Head.size();
            if (InFile < BigUpload)
            {
                FillBlock(InFile / Block, Scratch.data());
                return Sink.write(Scratch.data() + InFile % Block, Block - InFile % Block);
            }
            const std::size_t InTail = InFile - BigUpload;
            return Sink.write(Tail.data() + InTail, Tail.size() - InTail);
        };
        std::unique_ptr<httplib::Client> C = Client();
        C->set_write_timeout(60, 0);
        C->set_read_timeout(60, 0);
        return Request.Method == "PUT"
                   ? C->Put(Request.Path, Request.Headers, Total, Provider, Request.ContentType)
                   : C->Post(Request.Path, Request.Headers, Total, Provider, Request.ContentType);
    }
};

TEST_F(FDevBackendStoreStreamingTest, A64MiBUploadIsStreamedIntoEveryStore)
{
    const std::string Sha1 = Sha1OfPattern();
    for (const EDevBackendStore Style : AllStores)
    {
        SCOPED_TRACE(DevBackendStoreName(Style));
        const FStoreSession Session = Open(Style);
        const std::string Key = KeyFor(Session, 1);
        // The request with a placeholder body; the body itself is produced on the fly.
        FStoreRequest Request = RequestFor(Style, Session, Key, "#");
        std::string Head;
        std::string Tail;
        if (Style == EDevBackendStore::Gcs)
        {
            const std::size_t Mark = Request.Body.find("\r\n\r\n#\r\n");
            Head = Request.Body.substr(0, Mark + 4);
            Tail = Request.Body.substr(Mark + 5);
        }
        else
        {
            Request.Headers.erase("X-Bz-Content-Sha1");
            Request.Headers.emplace("X-Bz-Content-Sha1", Sha1);
        }
        const bool bMeasured = ResetPeak();
        const long PeakBefore = PeakResidentKiB();
        const httplib::Result Result = SendStreamed(Request, Head, Tail);
        const long PeakGrowth = PeakResidentKiB() - PeakBefore;
        ASSERT_TRUE(Result) << httplib::to_string(Result.error());
        EXPECT_LT(Result->status, 300) << Result->body;

        const std::vector<FDevBackendObject> Objects = Server->Objects(Session.Id);
        ASSERT_EQ(Objects.size(), 1u);
        EXPECT_EQ(Objects[0].Size, static_cast<std::int64_t>(BigUpload));
        EXPECT_EQ(Objects[0].Sha1, Sha1);
        FSHA1::FDigest OnDisk;
        ASSERT_TRUE(FSHA1::HashFile(Objects[0].Path, OnDisk));
        EXPECT_EQ(FSHA1::ToHex(OnDisk), Sha1);
        // Both ends stream: the whole exchange holds a few buffers, far from the body.
        RecordProperty(std::string(DevBackendStoreName(Style)) + "_peak_growth_kib",
                       std::to_string(PeakGrowth));
        std::printf("%s: peak resident growth %ld KiB\n", DevBackendStoreName(Style), PeakGrowth);
        if (bMeasured)
        {
            EXPECT_LT(PeakGrowth, 16 * 1024);
        }
    }
}
