// Whole sessions against the dev backend with recognisable secrets planted in every
// credential field, for each store kind, with debug logs on: no captured log line and
// nothing handed to the host may carry one, nor a raw control character.
#include "SubsystemBackendTestBase.h"

#include <string>

namespace
{
using EEndpoint = EDevBackendEndpoint;
constexpr const char* Planted = "PLANTED";

// Plants a secret in every credential-bearing field the store issued.
void PlantSecrets(nlohmann::json& Credentials)
{
    for (const char* Container : {"formFields", "requiredHeaders"})
    {
        if (Credentials.contains(Container) && Credentials[Container].is_object())
        {
            for (auto& [Name, Value] : Credentials[Container].items())
            {
                Value = std::string(Planted) + "-FIELD-" + Name;
            }
        }
    }
    Credentials["authorizationToken"] = std::string(Planted) + "-TOKEN";
    std::string Url = Credentials.value("uploadUrl", std::string());
    Url += Url.find('?') == std::string::npos ? "?" : "&";
    Credentials["uploadUrl"] = Url + "X-Signature=" + Planted + "-SIG&X-Expires=1";
}

bool HasControlCharacter(const FString& Text)
{
    for (const char C : Text)
    {
        const unsigned char Byte = static_cast<unsigned char>(C);
        if (Byte < 0x20 || Byte == 0x7F)
        {
            return true;
        }
    }
    return false;
}
} // namespace

class SecretsInLogs : public FQuorvexSubsystemTestBase,
                      public ::testing::WithParamInterface<EDevBackendStore>
{
protected:
    void SetUp() override
    {
        FQuorvexSubsystemTestBase::SetUp();
        FDevBackendOptions Options;
        Options.CaptureConfig["heartbeatIntervalSeconds"] = 1;
        Options.CustomizeCredentials = PlantSecrets;
        Server = std::make_unique<FDevBackendServer>(Options);
        Server->SetStore(GetParam());
        std::string Error;
        ASSERT_TRUE(Server->Start(Error)) << Error;
        Subsystem->BaseHostUrlOverride = Server->BaseUrl();
        Subsystem->SetDebugLogsEnabled(true, false);
        Subsystem->SetTimingLogsEnabled(true, false);
    }

    void TearDown() override
    {
        Server->ReleaseStalled();
        FQuorvexSubsystemTestBase::TearDown();
        Server->Stop();
    }

    bool TickUntil(const std::function<bool()>& Condition)
    {
        return TickSubsystemUntil(*Subsystem, Condition);
    }

    void ExpectNoSecretInTheLog()
    {
        const std::vector<FLogLine> Lines = Log.Lines();
        ASSERT_FALSE(Lines.empty());
        for (const FLogLine& Line : Lines)
        {
            EXPECT_EQ(Line.Message.find(Planted), FString::npos) << Line.Message;
            EXPECT_FALSE(HasControlCharacter(Line.Message)) << Line.Message;
        }
    }

    std::unique_ptr<FDevBackendServer> Server;
};

TEST_P(SecretsInLogs, AWholeSessionLogsNoCredential)
{
    FCompletionProbe Started, Stopped;
    Subsystem->StartSessionNative("player", "", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
    ASSERT_EQ(Started.Response, EQuorvexSdkResponse::QUORVEX_SUCCESS) << Started.Message;
    // A failing server that echoes the session's credentials back, control
    // characters included, in its error body.
    const std::string Issued = Server->Sessions().All().front().UploadCredentials.dump();
    Server->Script(EEndpoint::Heartbeat,
                   {FDevBackendAnswer::Respond(500, "echo\r\nQuorvexSDK: forged " + Issued),
                    FDevBackendAnswer::Respond(500, Issued, "text/plain"),
                    FDevBackendAnswer::Respond(500, Issued)});
    Subsystem->Tick(1.0f);
    ASSERT_TRUE(TickUntil([&] { return Log.Contains("heartbeat failed to reach the server"); }));
    Subsystem->StopSessionNative(Stopped.Callback());
    ASSERT_TRUE(TickUntil([&] { return Stopped.Calls > 0; }));
    ASSERT_TRUE(Log.Contains("QuorvexSDK: response <- 200"));
    ExpectNoSecretInTheLog();
}

TEST_P(SecretsInLogs, AFailedStartHandsTheHostNoCredential)
{
    // The backend refuses, echoing a credential record in its error.
    nlohmann::json Echo = {{"uploadUrl", "https://store.example/o"},
                           {"formFields", {{"policy", "x"}}},
                           {"requiredHeaders", {{"Authorization", "y"}}}};
    PlantSecrets(Echo);
    const nlohmann::json Body = {{"success", false},
                                 {"data", {{"code", "Denied"}, {"message", "no\r\nforged"}}},
                                 {"uploadCredentials", Echo}};
    Server->ScriptAlways(EEndpoint::SessionCreate, FDevBackendAnswer::Respond(403, Body.dump()));
    FCompletionProbe Started;
    Subsystem->StartSessionNative("player", "", Started.Callback());
    ASSERT_TRUE(TickUntil([&] { return Started.Calls > 0; }));
    EXPECT_EQ(Started.Response, EQuorvexSdkResponse::QUORVEX_ERROR_SESSION_FAILED);
    EXPECT_NE(Started.Message.find("Denied"), FString::npos) << Started.Message;
    EXPECT_EQ(Started.Message.find(Planted), FString::npos) << Started.Message;
    ExpectNoSecretInTheLog();
}

INSTANTIATE_TEST_SUITE_P(EveryStore, SecretsInLogs,
                         ::testing::Values(EDevBackendStore::Gcs, EDevBackendStore::B2,
                                           EDevBackendStore::SignedPut),
                         [](const auto& Info) { return DevBackendStoreName(Info.param); });
