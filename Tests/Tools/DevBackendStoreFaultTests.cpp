// Scripted faults on the store endpoints: fixed statuses once or for good, a reset in
// the middle of the body, a slow drip, a "100 Continue" that never comes, a redirect;
// and the interim answer itself, which a store sends only when it wants the body.
#include "DevBackendStoreTestFixture.h"

#include <future>

class FDevBackendStoreFaultTest : public FDevBackendStoreTest
{
protected:
    // A B2 upload of Size bytes as the SDK sends it.
    FStoreRequest B2Upload(const FStoreSession& Session, long long Sequence, std::size_t Size)
    {
        return B2Request(Session, KeyFor(Session, Sequence), ArchiveBytes(Size, Sequence));
    }
};

TEST_F(FDevBackendStoreFaultTest, StatusOnceThenForeverThenNormalAgain)
{
    const FStoreSession Session = Open(EDevBackendStore::SignedPut);
    Server->Script(EDevBackendEndpoint::StoreSignedPut,
                   {FDevBackendAnswer::Respond(503, "<Error><Code>SlowDown</Code></Error>",
                                               "application/xml")});
    const auto Status = [&](long long Sequence)
    {
        const httplib::Result R =
            Send(PutRequest(Session, KeyFor(Session, Sequence), ArchiveBytes(4000, Sequence)));
        return R ? R->status : -1;
    };
    EXPECT_EQ(Status(1), 503);
    EXPECT_EQ(Status(2), 200);
    Server->ScriptAlways(EDevBackendEndpoint::StoreSignedPut, FDevBackendAnswer::Respond(500));
    EXPECT_EQ(Status(3), 500);
    EXPECT_EQ(Status(4), 500);
    Server->ClearScripts();
    EXPECT_EQ(Status(5), 200);

    std::vector<std::string> Names;
    for (const FDevBackendObject& Object : Server->Objects(Session.Id))
    {
        Names.push_back(Object.Name);
    }
    EXPECT_EQ(Names, (std::vector<std::string>{KeyFor(Session, 2), KeyFor(Session, 5)}));
    EXPECT_EQ(Server->Requests().Count(EDevBackendEndpoint::StoreSignedPut), 5u);
}

TEST_F(FDevBackendStoreFaultTest, ResetInTheMiddleOfTheBodyStoresNothingAndTheNextUploadLands)
{
    const FStoreSession Session = Open(EDevBackendStore::B2);
    Server->Script(EDevBackendEndpoint::StoreB2, {FDevBackendAnswer::ResetMidBody(64 * 1024)});
    const httplib::Result Cut = Send(B2Upload(Session, 1, 4 * 1024 * 1024));
    EXPECT_FALSE(Cut);
    EXPECT_TRUE(Server->Objects(Session.Id).empty());
    const FDevBackendRecordedRequest Record =
        Server->Requests().ForEndpoint(EDevBackendEndpoint::StoreB2).at(0);
    EXPECT_TRUE(Record.bDropped);
    // Nothing of the cut upload is left in the data folder.
    EXPECT_TRUE(std::filesystem::is_empty(Server->DataFolder() + "/incoming"));

    const httplib::Result Next = Send(B2Upload(Session, 2, 100 * 1024));
    ASSERT_TRUE(Next);
    EXPECT_EQ(Next->status, 200);
    EXPECT_EQ(Server->Objects(Session.Id).size(), 1u);
}

TEST_F(FDevBackendStoreFaultTest, DripReadsTheBodyNoFasterThanTheRate)
{
    const FStoreSession Session = Open(EDevBackendStore::Gcs);
    constexpr long long Rate = 200 * 1024;
    Server->Script(EDevBackendEndpoint::StoreGcs, {FDevBackendAnswer::Drip(Rate)});
    const std::string Bytes = ArchiveBytes(100 * 1024);
    const auto Before = std::chrono::steady_clock::now();
    const httplib::Result Result =
        Send(RequestFor(EDevBackendStore::Gcs, Session, KeyFor(Session, 1), Bytes));
    const auto Elapsed = std::chrono::steady_clock::now() - Before;
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->status, 201);
    EXPECT_TRUE(ReadWholeFile(Server->Objects(Session.Id).at(0).Path) == Bytes);
    // A lower bound only: 100 KiB at 200 KiB a second cannot take less than half a
    // second, less the one pause that may be left owing at the end.
    EXPECT_GE(Elapsed, std::chrono::milliseconds(500 - 10));
}

TEST_F(FDevBackendStoreFaultTest, RedirectIsAnsweredWithItsLocation)
{
    const FStoreSession Session = Open(EDevBackendStore::B2);
    Server->Script(EDevBackendEndpoint::StoreB2,
                   {FDevBackendAnswer::Redirect(307, "http://127.0.0.1:9/elsewhere")});
    const httplib::Result Result = Send(B2Upload(Session, 1, 10000));
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->status, 307);
    EXPECT_EQ(Result->get_header_value("Location"), "http://127.0.0.1:9/elsewhere");
    EXPECT_TRUE(Server->Objects(Session.Id).empty());
}

TEST_F(FDevBackendStoreFaultTest, StalledUploadIsStoredOnceReleased)
{
    const FStoreSession Session = Open(EDevBackendStore::SignedPut);
    Server->Script(EDevBackendEndpoint::StoreSignedPut, {FDevBackendAnswer::Stall()});
    const FStoreRequest Request = PutRequest(Session, KeyFor(Session, 1), ArchiveBytes(50000));
    std::future<int> Pending = std::async(std::launch::async,
                                          [&]
                                          {
                                              const httplib::Result R = Send(Request);
                                              return R ? R->status : -1;
                                          });
    ASSERT_TRUE(Server->WaitForStalled(1, TestDeadline));
    EXPECT_TRUE(Server->Objects(Session.Id).empty());
    Server->ReleaseStalled();
    EXPECT_EQ(Pending.get(), 200);
    EXPECT_EQ(Server->Objects(Session.Id).size(), 1u);
}

// The interim answer as a client waiting for it sees it: sent once a store wants the
// body, never when the script withholds it, and not at all when the store refuses
// the request from its headers.
TEST_F(FDevBackendStoreFaultTest, ContinueComesOnlyWhenTheStoreWantsTheBody)
{
    struct FCase
    {
        const char* Name;
        bool bWithhold;
        bool bBadToken;
        const char* FirstAnswer; // the status line the client sees first
        int FinalStatus;
    };
    const std::vector<FCase> Cases = {
        {"normal", false, false, "HTTP/1.1 100 Continue", 200},
        {"withheld", true, false, "HTTP/1.1 200", 200},
        {"refused from the headers", false, true, "HTTP/1.1 401", 401},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(Case.Name);
        const FStoreSession Session = Open(EDevBackendStore::B2);
        if (Case.bWithhold)
        {
            Server->Script(EDevBackendEndpoint::StoreB2, {FDevBackendAnswer::NoContinue()});
        }
        FStoreRequest Request = B2Upload(Session, 1, 20000);
        if (Case.bBadToken)
        {
            Request.Headers.erase("Authorization");
            Request.Headers.emplace("Authorization", "4_devwrong");
        }
        FRawHttpConnection Raw(Server->Port());
        ASSERT_TRUE(Raw.IsConnected());
        ASSERT_TRUE(Raw.Send(Wire(Request, "Expect: 100-continue\r\n")));
        // A withheld answer shows as silence; the client then sends the body anyway,
        // as clients do after waiting a while.
        std::string First = Raw.ReadSome(Case.bWithhold ? std::chrono::milliseconds(300)
                                                        : std::chrono::milliseconds(TestDeadline));
        if (First.empty())
        {
            ASSERT_TRUE(Raw.Send(Request.Body));
            First = Raw.ReadUntil("\r\n\r\n");
        }
        else if (First.rfind("HTTP/1.1 100", 0) == 0)
        {
            EXPECT_EQ(First, "HTTP/1.1 100 Continue\r\n\r\n");
            ASSERT_TRUE(Raw.Send(Request.Body));
            First += Raw.ReadUntil("\r\n\r\n");
        }
        EXPECT_EQ(First.rfind(Case.FirstAnswer, 0), 0u) << First;
        const std::string Rest = First + Raw.ReadToEnd();
        const std::size_t Final = Rest.rfind("HTTP/1.1 ");
        const httplib::Result Answer = ParseRawResponse(Rest.substr(Final));
        ASSERT_TRUE(Answer);
        EXPECT_EQ(Answer->status, Case.FinalStatus) << Answer->body;
        EXPECT_EQ(Server->Objects(Session.Id).size(), Case.FinalStatus == 200 ? 1u : 0u);
    }
}
