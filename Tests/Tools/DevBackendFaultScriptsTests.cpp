// The named fault scripts: each makes the backend misbehave the way it says, and a
// name that is not a script is refused with the names that are.
#include "DevBackendFaultScripts.h"
#include "DevBackendStoreTestFixture.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace
{
std::unique_ptr<FDevBackendFaultScript> MakeScript(const char* Name)
{
    std::string Error;
    std::unique_ptr<FDevBackendFaultScript> Script = FDevBackendFaultScript::Make(Name, Error);
    EXPECT_TRUE(Script) << Error;
    return Script;
}

int StatusOf(const httplib::Result& Result)
{
    return Result ? Result->status : 0; // 0: no answer (dropped or reset)
}
} // namespace

class DevBackendFaultScriptsTest : public FDevBackendStoreTest
{
protected:
    // Restarts the server with a script that sees every answered request.
    void StartWithScript(const char* Name)
    {
        Script = MakeScript(Name);
        FDevBackendOptions Options;
        Options.OnAnswered = [this](const FDevBackendRecordedRequest& Record)
        {
            const std::string Injected = Script->OnAnswered(*Server, Record);
            std::lock_guard Lock(InjectedMutex);
            if (!Injected.empty())
            {
                InjectedLines.push_back(Injected);
            }
            ++Observed;
            ObservedChanged.notify_all();
        };
        StartServer(std::move(Options));
        Script->Apply(*Server);
    }

    // The lines the script injected, once it has seen every request the server answered
    // (it sees each one just after the client got its answer).
    std::vector<std::string> Injected()
    {
        std::unique_lock Lock(InjectedMutex);
        const size_t Answered = Server->Requests().All().size();
        EXPECT_TRUE(ObservedChanged.wait_for(Lock, std::chrono::seconds(10),
                                             [&] { return Observed >= Answered; }));
        return InjectedLines;
    }

    std::unique_ptr<FDevBackendFaultScript> Script;
    std::mutex InjectedMutex;
    std::condition_variable ObservedChanged;
    std::vector<std::string> InjectedLines; // guarded by InjectedMutex
    size_t Observed = 0;                    // guarded by InjectedMutex
};

TEST_F(DevBackendFaultScriptsTest, EveryListedScriptExistsAndAnUnknownNameListsThem)
{
    for (const FDevBackendFaultScriptInfo& Info : FDevBackendFaultScript::All())
    {
        SCOPED_TRACE(Info.Name);
        const std::unique_ptr<FDevBackendFaultScript> Made = MakeScript(Info.Name);
        ASSERT_TRUE(Made);
        EXPECT_STREQ(Made->Info().Name, Info.Name);
    }
    std::string Error;
    EXPECT_FALSE(FDevBackendFaultScript::Make("flaky-stor", Error));
    for (const FDevBackendFaultScriptInfo& Info : FDevBackendFaultScript::All())
    {
        EXPECT_NE(Error.find(Info.Name), std::string::npos) << Error;
    }
}

TEST_F(DevBackendFaultScriptsTest, FlakyStoreFailsInAFixedPatternAndKeepsTheRest)
{
    StartWithScript("flaky-store");
    const FStoreSession Session = Open(EDevBackendStore::SignedPut);
    std::vector<int> Statuses;
    for (long long Sequence = 1; Sequence <= 9; ++Sequence)
    {
        const std::string Bytes = ArchiveBytes(64 * 1024, static_cast<unsigned>(Sequence));
        Statuses.push_back(StatusOf(Send(
            RequestFor(EDevBackendStore::SignedPut, Session, KeyFor(Session, Sequence), Bytes))));
    }
    EXPECT_EQ(Statuses, (std::vector<int>{200, 503, 200, 0, 200, 200, 0, 200, 429}));
    EXPECT_EQ(Server->Objects(Session.Id).size(), 5u);
    // Every failure was announced; the successes were not.
    EXPECT_EQ(Injected().size(), 4u);
}

TEST_F(DevBackendFaultScriptsTest, ExpiringCredentialsAreIssuedWithAShortLife)
{
    StartWithScript("expiring-credentials");
    const FStoreSession Session = Open(EDevBackendStore::B2);
    EXPECT_EQ(Session.Credentials["ttlSeconds"], 6) << Session.Credentials.dump();
    ASSERT_EQ(
        PostJson("/api/v4/sessions/" + Session.Id + "/refresh-upload-url", nlohmann::json::object())
            ->status,
        200);
    const std::vector<std::string> Lines = Injected();
    ASSERT_EQ(Lines.size(), 1u);
    EXPECT_NE(Lines[0].find("fresh upload credentials"), std::string::npos);
}

TEST_F(DevBackendFaultScriptsTest, SessionEndedRefusesTheUploadAfterTheSecondAcceptedBatch)
{
    StartWithScript("session-ended");
    const FStoreSession Session = Open(EDevBackendStore::Gcs);
    const auto Upload = [&](long long Sequence)
    {
        return StatusOf(Send(RequestFor(EDevBackendStore::Gcs, Session, KeyFor(Session, Sequence),
                                        ArchiveBytes(4096))));
    };
    EXPECT_EQ(Upload(1) / 100, 2);
    EXPECT_EQ(Upload(2) / 100, 2);
    Injected(); // the script has seen the second answer
    EXPECT_EQ(Upload(3), 404);
    const std::vector<std::string> Lines = Injected();
    EXPECT_EQ(Server->Sessions().Find(Session.Id)->State, EDevBackendSessionState::Inactive);
    ASSERT_FALSE(Lines.empty());
    EXPECT_NE(Lines.front().find("ended session " + Session.Id), std::string::npos);
}
