// Shared by the dev backend's tests: a fixture that runs a server on loopback, an
// HTTP client for it, and valid request bodies to start from (tests break one key).
#pragma once

#include "DevBackendServer.h"
#include "TestSupport.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <string>

using namespace std::chrono_literals;

inline nlohmann::json ValidResolution()
{
    return {{"width", 1920}, {"height", 1080}};
}

inline nlohmann::json ValidDevice()
{
    return {
        {"id", "device-1"},
        {"name", "box"},
        {"brand", ""},
        {"manufacturer", ""},
        {"model", ""},
        {"locale", "en-US"},
        {"language", "en"},
        {"country", "US"},
        {"platform", "Linux"},
        {"osVersion", "6.1"},
        {"osName", "Linux"},
        {"cpuType", "x86_64"},
        {"cpuCores", 2},
        {"memoryMb", 4096},
        {"gpuName", ""},
        {"gpuVendor", ""},
        {"gpuDriverVersion", ""},
        {"gpuMemoryMb", 0},
        {"dpi", 96.0},
        {"orientation", "landscape"},
        {"batteryLevel", -1.0},
        {"batteryStatus", ""},
        {"resolution", ValidResolution()},
        {"deviceGraphicsConfig",
         {{"source", "activeRhi"},
          {"api", "Null"},
          {"d3dFeatureLevel", ""},
          {"d3dShaderModel", ""},
          {"d3dResourceBindingTier", 0},
          {"d3dSupportsWaveOps", false},
          {"d3dSupportsAtomic64", false}}},
        {"ueSelectedConfig",
         {{"api", "Null"},
          {"featureLevel", "SM5"},
          {"shaderPlatform", "PCD3D_SM5"},
          {"advancedPlatformDenied", false},
          {"isNullRhi", false}}},
        {"usesNativeReadbackPath", false},
    };
}

inline nlohmann::json ValidApp()
{
    return {{"packageName", "com.example.demo"},
            {"name", "Demo"},
            {"version", "1.0"},
            {"versionCode", 1},
            {"resolution", ValidResolution()},
            {"installReferrer", ""},
            {"advertisingId", ""}};
}

inline nlohmann::json ValidSdk()
{
    return {{"version", "2.0.0"}, {"engine", "unreal"}};
}

inline nlohmann::json ValidCreateBody()
{
    return {{"isRollover", false},
            {"inGameId", "player-7"},
            {"developerPayload", "{\"level\":3}"},
            {"networkType", "wifi"},
            {"extraPayload", {{"screenOccupancyPercent", 100.0}}},
            {"device", ValidDevice()},
            {"app", ValidApp()},
            {"sdk", ValidSdk()}};
}

inline nlohmann::json ValidEndBody()
{
    return {{"reason", "HostStopped"},
            {"totalFramesCaptured", 42},
            {"totalEventsRecorded", 3},
            {"errorDetails", ""}};
}

inline nlohmann::json ValidGameEventBody(const std::string& SessionId)
{
    return {{"inGameId", "player-7"},  {"developerPayload", ""},
            {"sessionId", SessionId},  {"timestamp", 1700000000123LL},
            {"networkType", "wifi"},   {"device", ValidDevice()},
            {"app", ValidApp()},       {"sdk", ValidSdk()},
            {"eventName", "level_up"}, {"eventDataJson", "{\"level\":4}"}};
}

// Runs a server for the test; Client() talks to it.
class FDevBackendTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The test's own client may write to a connection a scripted drop has closed.
        std::signal(SIGPIPE, SIG_IGN);
        StartServer({});
    }

    void StartServer(FDevBackendOptions Options)
    {
        Server.reset(); // stops a running one
        Server = std::make_unique<FDevBackendServer>(std::move(Options));
        std::string Error;
        ASSERT_TRUE(Server->Start(Error)) << Error;
    }

    std::unique_ptr<httplib::Client> Client() const
    {
        auto Result = std::make_unique<httplib::Client>(Server->BaseUrl());
        Result->set_read_timeout(10, 0);
        return Result;
    }

    httplib::Result PostJson(const std::string& Path, const nlohmann::json& Body) const
    {
        return Client()->Post(Path, Body.dump(), "application/json");
    }

    // Creates a session with a valid body and returns its id.
    std::string CreateSession(nlohmann::json Body = ValidCreateBody()) const
    {
        httplib::Result Result = PostJson("/api/v4/session", Body);
        if (!Result || Result->status != 200)
        {
            ADD_FAILURE() << "session create failed";
            return {};
        }
        return nlohmann::json::parse(Result->body)["data"]["sessionId"].get<std::string>();
    }

    static nlohmann::json JsonOf(const httplib::Result& Result)
    {
        if (!Result)
        {
            return nlohmann::json(nlohmann::json::value_t::discarded);
        }
        return nlohmann::json::parse(Result->body, nullptr, false);
    }

    static std::string HeartbeatPath(const std::string& Id)
    {
        return "/api/v4/sessions/" + Id + "/heartbeat";
    }

    std::unique_ptr<FDevBackendServer> Server;
};
