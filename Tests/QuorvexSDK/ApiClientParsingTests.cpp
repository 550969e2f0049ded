// The backend client's pure parts: endpoints, parsers, classifiers, redaction and
// the retry schedule.
#include "QuorvexApiClient.h"

#include <gtest/gtest.h>

namespace
{
FQuorvexHttpResult Failed(int32 Status, const FString& Body = "")
{
    FQuorvexHttpResult Result;
    Result.StatusCode = Status;
    Result.ResponseBody = Body;
    Result.Error = std::to_string(Status) + " " + Body;
    return Result;
}
} // namespace

TEST(ApiClientEndpoints, BaseIsTrimmedAndIdsAreEncoded)
{
    FQuorvexApiClient Client;
    EXPECT_EQ(Client.BuildSessionEndpoint(), "") << "no provider: no base";
    Client.SetBaseHostUrlProvider([] { return FString("https://api.example/// \t"); });
    EXPECT_EQ(Client.BuildSessionEndpoint(), "https://api.example/api/v4/session");
    EXPECT_EQ(Client.BuildSendGameEventEndpoint(), "https://api.example/api/v4/send_game_event");
    EXPECT_EQ(Client.BuildHeartbeatEndpoint("a/b c"),
              "https://api.example/api/v4/sessions/a%2Fb%20c/heartbeat");
    EXPECT_EQ(Client.BuildEndSessionEndpoint("s1"), "https://api.example/api/v4/sessions/s1/end");
    EXPECT_EQ(Client.BuildRefreshUploadUrlEndpoint("s1"),
              "https://api.example/api/v4/sessions/s1/refresh-upload-url");
    EXPECT_EQ(Client.BuildHeartbeatEndpoint(""), "");
}

TEST(ApiClientParsing, SessionResponseCases)
{
    struct FCase
    {
        const char* Name;
        const char* Body;
        bool bOk;
        const char* Error;
    };
    const FCase Cases[] = {
        {"not json", "<html>", false, "session-response-parse-failed"},
        {"array root", "[]", false, "session-response-parse-failed"},
        {"success missing", R"({"data":{"sessionId":"s"}})", false, "session-response-no-data"},
        {"success false", R"({"success":false,"data":{"sessionId":"s"}})", false,
         "session-response-no-data"},
        {"data not object", R"({"success":true,"data":"s"})", false, "session-response-no-data"},
        {"no session id", R"({"success":true,"data":{"expiresAt":"x"}})", false,
         "session-response-no-session-id"},
        {"minimal", R"({"success":true,"data":{"sessionId":"s"}})", true, ""},
        {"id with CR LF", R"({"success":true,"data":{"sessionId":"a\r\nQuorvexSDK: x"}})", false,
         "session-response-unusable-session-id"},
        {"id with a slash", R"({"success":true,"data":{"sessionId":"../end"}})", false,
         "session-response-unusable-session-id"},
        {"id at the limit", nullptr, true, ""},
        {"id over the limit", nullptr, false, "session-response-unusable-session-id"},
    };
    for (const FCase& Case : Cases)
    {
        FString Body = Case.Body ? Case.Body : "";
        if (!Case.Body)
        {
            const size_t Length = FQuorvexApiClient::MaxSessionIdLength + (Case.bOk ? 0 : 4000000);
            Body = R"({"success":true,"data":{"sessionId":")" + FString(Length, 'i') + "\"}}";
        }
        FQuorvexSessionData Data;
        FString Error;
        EXPECT_EQ(FQuorvexApiClient::ParseSessionResponse(Body, Data, Error), Case.bOk)
            << Case.Name;
        EXPECT_EQ(Error, Case.Error) << Case.Name;
        EXPECT_EQ(Data.SessionId.empty(), !Case.bOk) << Case.Name;
    }
    FQuorvexSessionData Minimal;
    FString Error;
    ASSERT_TRUE(FQuorvexApiClient::ParseSessionResponse(
        R"({"success":true,"data":{"sessionId":"s"}})", Minimal, Error));
    EXPECT_EQ(Minimal.CaptureConfig.UploadIntervalMs, 60000);
    EXPECT_EQ(Minimal.CaptureConfig.ImageQuality, 75);
    EXPECT_EQ(Minimal.CaptureConfig.StopCaptureCpuUsagePercent, 80);
    EXPECT_EQ(Minimal.CaptureConfig.HeartbeatIntervalSeconds, 0);
}

TEST(ApiClientParsing, SessionResponseReadsEveryKeyAndKeepsDefaultsForWrongTypes)
{
    const char* Body = R"({"success":true,"data":{
        "sessionId":"sess-9","expiresAt":"2026-12-10T13:00:00Z","storageProvider":"GCS",
        "captureConfig":{"uploadIntervalMs":"30000","imageQuality":60.6,"maxStorageSizeMb":50,
          "useMobileDataForUploads":"yes","captureMode":"screen","captureIntervalSeconds":2.5,
          "imageFormat":"jpeg","minUploadBitsPerSecond":{},"stopCaptureCpuUsagePercent":-1,
          "heartbeatIntervalSeconds":30,"resolution":{"width":1280,"height":720}},
        "uploadCredentials":{"uploadUrl":"https://store.example/u","ttlSeconds":600,
          "required_headers":{"X-Goog-Meta":"{sessionId}","N":7},
          "formFields":{"policy":"p"},"perFileHeaders":["a",1,null]}}})";
    FQuorvexSessionData Data;
    FString Error;
    ASSERT_TRUE(FQuorvexApiClient::ParseSessionResponse(Body, Data, Error)) << Error;
    const FQuorvexCaptureConfig& C = Data.CaptureConfig;
    EXPECT_EQ(Data.SessionId, "sess-9");
    EXPECT_EQ(Data.ExpiresAt, "2026-12-10T13:00:00Z");
    EXPECT_EQ(C.UploadIntervalMs, 30000) << "numeric text converts";
    EXPECT_EQ(C.ImageQuality, 61) << "rounds half away from zero";
    EXPECT_EQ(C.MaxStorageSizeMb, 50);
    EXPECT_TRUE(C.bUseMobileDataForUploads);
    EXPECT_EQ(C.CaptureMode, "screen");
    EXPECT_FLOAT_EQ(C.CaptureIntervalSeconds, 2.5f);
    EXPECT_EQ(C.MinUploadBitsPerSecond, 1000000) << "an object is rejected: default kept";
    EXPECT_EQ(C.StopCaptureCpuUsagePercent, -1);
    EXPECT_EQ(C.HeartbeatIntervalSeconds, 30);
    EXPECT_EQ(C.Resolution.Width, 1280);
    EXPECT_EQ(C.MaxBatchSizeBytes, 5242880);
    const FQuorvexUploadCredentials& U = Data.UploadCredentials;
    EXPECT_EQ(U.UploadUrl, "https://store.example/u");
    EXPECT_EQ(U.StorageProvider, "GCS") << "filled from the session";
    EXPECT_EQ(U.TtlSeconds, 600);
    ASSERT_TRUE(U.RequiredHeaders.Find("x-goog-meta"));
    EXPECT_EQ(*U.RequiredHeaders.Find("N"), "7");
    EXPECT_EQ(*U.FormFields.Find("policy"), "p");
    EXPECT_EQ(U.PerFileHeaders, (std::vector<FString>{"a", "1"}));
}

TEST(ApiClientParsing, HeartbeatAliveness)
{
    struct FCase
    {
        const char* Name;
        bool bSuccess;
        const char* Body;
        bool bAlive;
        const char* Code;
        const char* Message;
    };
    const FCase Cases[] = {
        {"network failure", false, "", false, "", ""},
        {"not json", true, "ok", true, "", ""},
        {"success true", true, R"({"success":true})", true, "", ""},
        {"success missing", true, R"({"data":{}})", false, "", ""},
        {"inactive", true,
         R"({"success":false,"data":{"code":"SessionInactive","message":"gone"}})", false,
         "SessionInactive", "gone"},
    };
    for (const FCase& Case : Cases)
    {
        FQuorvexHttpResult Result;
        Result.bSuccess = Case.bSuccess;
        Result.StatusCode = Case.bSuccess ? 200 : 0;
        Result.ResponseBody = Case.Body;
        bool bHttp = !Case.bSuccess;
        FString Code, Message;
        EXPECT_EQ(FQuorvexApiClient::ParseHeartbeatAlive(Result, bHttp, Code, Message), Case.bAlive)
            << Case.Name;
        EXPECT_EQ(bHttp, Case.bSuccess) << Case.Name;
        EXPECT_EQ(Code, Case.Code) << Case.Name;
        EXPECT_EQ(Message, Case.Message) << Case.Name;
    }
}

TEST(ApiClientClassifiers, UploadFailureKinds)
{
    using EKind = EQuorvexUploadFailureKind;
    struct FCase
    {
        int32 Status;
        const char* Body;
        EKind Kind;
    };
    const FCase Cases[] = {
        {401, "", EKind::CredentialsRejected},
        {503, "busy", EKind::CredentialsRejected},
        {403, "<Code>SignatureDoesNotMatch</Code>", EKind::CredentialsRejected},
        {400, "{\"code\":\"ExpiredToken\"}", EKind::CredentialsRejected},
        {403, "token EXPIRED", EKind::CredentialsRejected},
        {400, "auth_token_limit", EKind::CredentialsRejected},
        {400, "", EKind::SessionInactive},
        {400, "bad request", EKind::SessionInactive},
        {403, "Session has expired", EKind::CredentialsRejected}, // "expired" wins
        {404, "Session has expired", EKind::SessionInactive},
        {500, "{\"code\":\"InvalidSessionToken\"}", EKind::SessionInactive},
        {403, "forbidden", EKind::RequestRejected},
        {404, "", EKind::RequestRejected},
        {402, "", EKind::RequestRejected},
        {500, "", EKind::Other},
        {0, "", EKind::Other},
    };
    for (const FCase& Case : Cases)
    {
        EXPECT_EQ(FQuorvexApiClient::ClassifyUploadFailure(Failed(Case.Status, Case.Body)),
                  Case.Kind)
            << Case.Status << " " << Case.Body;
    }
    FQuorvexHttpResult Ok;
    Ok.bSuccess = true;
    Ok.StatusCode = 401;
    EXPECT_EQ(FQuorvexApiClient::ClassifyUploadFailure(Ok), EKind::Other);
    EXPECT_FALSE(FQuorvexApiClient::IsInactiveSessionResponse(Ok));
    EXPECT_FALSE(FQuorvexApiClient::IsInactiveSessionResponse(
        Failed(500, "{\"code\": \"InvalidSessionToken\"}")))
        << "the fragment must match without spaces";
}

TEST(ApiClientClassifiers, TerminalSessionCreate)
{
    FString Code, Message;
    EXPECT_TRUE(FQuorvexApiClient::IsTerminalSessionCreateResponse(
        Failed(403, R"({"detail":{"code":"platformnotallowed","message":"no"}})"), Code, Message));
    EXPECT_EQ(Code, "platformnotallowed");
    EXPECT_EQ(Message, "no");
    Code.clear();
    EXPECT_TRUE(
        FQuorvexApiClient::IsTerminalSessionCreateResponse(Failed(422, "x"), Code, Message));
    EXPECT_FALSE(FQuorvexApiClient::IsTerminalSessionCreateResponse(
        Failed(500, R"({"data":{"code":"Busy","message":"later"}})"), Code, Message));
    EXPECT_EQ(Code, "Busy");
}

TEST(ApiClientRedaction, SecretsAreReplaced)
{
    struct FCase
    {
        const char* In;
        const char* Out;
    };
    const FCase Cases[] = {
        {R"({"authorizationToken" : "abc", "x":1})",
         R"({"authorizationToken" : "<redacted>", "x":1})"},
        {R"({"UPLOADURL":"https://s/x?sig=1","uploadUrl":"y"})",
         R"({"UPLOADURL":"<redacted>","uploadUrl":"<redacted>"})"},
        {R"({"Authorization": "Bearer t"})", R"({"Authorization": "<redacted>"})"},
        {R"({"authorizationToken": 5})", R"({"authorizationToken": 5})"},
        {R"({"uploadUrl" "x"})", R"({"uploadUrl" "x"})"},
        // A value cut off by the end of the text shows nothing of itself either.
        {R"({"uploadUrl": "https://s/x?sig=1)", R"({"uploadUrl": "<redacted>)"},
        // Escaped quotes do not end a value early.
        {R"({"authorizationToken":"a\"SECRET"})", R"({"authorizationToken":"<redacted>"})"},
        // Every value of the form fields and required headers, keys kept.
        {R"({"formFields":{"policy":"P1","x-goog-date":"D1","nested":["N1"]},"k":"v"})",
         R"({"formFields":{"policy":"<redacted>","x-goog-date":"<redacted>","nested":)"
         R"(["<redacted>"]},"k":"v"})"},
        {R"({"requiredHeaders" : {"X-Bz-Info": "H1"}, "after": "seen"})",
         R"({"requiredHeaders" : {"X-Bz-Info": "<redacted>"}, "after": "seen"})"},
        // The query of any URL, in JSON or plain text.
        {R"(PUT https://b.example/o/k?X-Sig=abc&X-Cred=d failed)",
         R"(PUT https://b.example/o/k?<redacted> failed)"},
        {R"({"url":"https://b.example/k?sig=1","n":"https://b.example/plain"})",
         R"({"url":"https://b.example/k?<redacted>","n":"https://b.example/plain"})"},
        {"https://pod-000.backblaze.example/b2api/v2/b2_upload_file/bucket/tok",
         "https://pod-000.backblaze.example/b2api/v2/<redacted-upload-url>"},
        {"https://host/upload/b2_upload_file/x", "https://host/upload/b2_upload_file/x"},
        {"", ""},
    };
    for (const FCase& Case : Cases)
    {
        EXPECT_EQ(FQuorvexApiClient::RedactForLog(Case.In), Case.Out) << Case.In;
    }
}

TEST(ApiClientRedaction, OnlyTheFirstTwoKiBAreKeptAndTheRestIsCounted)
{
    FString Body = R"({"authorizationToken":"SECRET",")";
    Body.append(300000, 'a');
    const FString Logged = FQuorvexApiClient::RedactForLog(Body);
    EXPECT_LT(Logged.size(), 2200u);
    EXPECT_EQ(Logged.find("SECRET"), FString::npos);
    EXPECT_NE(Logged.find(" [... 300032 bytes in all]"), FString::npos) << Logged.substr(2000);
}

TEST(ApiClientRetry, DelaysAreCappedAndJittered)
{
    EXPECT_EQ(FQuorvexApiClient::ComputeRetryDelayMs(1, 0), 200);
    EXPECT_EQ(FQuorvexApiClient::ComputeRetryDelayMs(1, 32767), 300);
    EXPECT_EQ(FQuorvexApiClient::ComputeRetryDelayMs(2, 0), 400);
    EXPECT_EQ(FQuorvexApiClient::ComputeRetryDelayMs(2, 32767), 600);
    EXPECT_EQ(FQuorvexApiClient::ComputeRetryDelayMs(4, 0), 1600);
    EXPECT_EQ(FQuorvexApiClient::ComputeRetryDelayMs(20, 32767), 2400);
    for (uint32 R = 0; R <= 32767; R += 97)
    {
        const int32 Delay = FQuorvexApiClient::ComputeRetryDelayMs(1, R);
        EXPECT_GE(Delay, 200);
        EXPECT_LE(Delay, 300);
    }
}
