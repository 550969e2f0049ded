#include "DevBackendValidation.h"

#include "StringUtils.h"

#include <cmath>

namespace
{
using K = EDevBackendJsonKind;
using FRules = std::vector<FDevBackendFieldRule>;

const FRules ResolutionRules = {{"width", K::Integer}, {"height", K::Integer}};

const FRules DeviceGraphicsRules = {
    {"source", K::String},
    {"api", K::String},
    {"d3dFeatureLevel", K::String},
    {"d3dShaderModel", K::String},
    {"d3dResourceBindingTier", K::Integer},
    {"d3dSupportsWaveOps", K::Boolean},
    {"d3dSupportsAtomic64", K::Boolean},
};

const FRules EngineGraphicsRules = {
    {"api", K::String},
    {"featureLevel", K::String},
    {"shaderPlatform", K::String},
    {"advancedPlatformDenied", K::Boolean},
    {"isNullRhi", K::Boolean},
};

const FRules DeviceRules = {
    {"id", K::String},
    {"name", K::String},
    {"brand", K::String},
    {"manufacturer", K::String},
    {"model", K::String},
    {"locale", K::String},
    {"language", K::String},
    {"country", K::String},
    {"platform", K::String},
    {"osVersion", K::String},
    {"osName", K::String},
    {"cpuType", K::String},
    {"cpuCores", K::Integer},
    {"memoryMb", K::Integer},
    {"gpuName", K::String},
    {"gpuVendor", K::String},
    {"gpuDriverVersion", K::String},
    {"gpuMemoryMb", K::Integer},
    {"dpi", K::Number},
    {"orientation", K::String},
    {"batteryLevel", K::Number},
    {"batteryStatus", K::String},
    {"resolution", K::Object, &ResolutionRules},
    {"deviceGraphicsConfig", K::Object, &DeviceGraphicsRules},
    {"ueSelectedConfig", K::Object, &EngineGraphicsRules},
    {"usesNativeReadbackPath", K::Boolean},
};

const FRules AppRules = {
    {"packageName", K::String},
    {"name", K::String},
    {"version", K::String},
    {"versionCode", K::Integer},
    {"resolution", K::Object, &ResolutionRules},
    {"installReferrer", K::String},
    {"advertisingId", K::String},
};

const FRules SdkRules = {{"version", K::String}, {"engine", K::String}};

const FRules ExtraPayloadRules = {{"screenOccupancyPercent", K::Number}};

const FRules SessionCreateRules = {
    {"isRollover", K::Boolean},
    {"inGameId", K::String},
    {"developerPayload", K::String},
    {"networkType", K::String},
    {"extraPayload", K::Object, &ExtraPayloadRules},
    {"device", K::Object, &DeviceRules},
    {"app", K::Object, &AppRules},
    {"sdk", K::Object, &SdkRules},
};

const FRules SessionUpdateRules = {{"sessionId", K::String}, {"inGameId", K::StringOrNull}};

const FRules EndSessionRules = {
    {"reason", K::String},
    {"totalFramesCaptured", K::Integer},
    {"totalEventsRecorded", K::Integer},
    {"errorDetails", K::String},
};

const FRules GameEventRules = {
    {"inGameId", K::String},       {"developerPayload", K::String},
    {"sessionId", K::String},      {"timestamp", K::Integer},
    {"networkType", K::String},    {"device", K::Object, &DeviceRules},
    {"app", K::Object, &AppRules}, {"sdk", K::Object, &SdkRules},
    {"eventName", K::String},      {"eventDataJson", K::String},
};

bool IsIntegral(const nlohmann::json& Value)
{
    if (Value.is_number_integer())
    {
        return true;
    }
    // Every number goes over the wire as a double, so 1920.0 is as good as 1920; beyond
    // 2^53 a double no longer holds an exact integer.
    constexpr double Exact = 9007199254740992.0;
    const double Number = Value.is_number_float() ? Value.get<double>() : 0.5;
    return std::trunc(Number) == Number && std::fabs(Number) <= Exact;
}

bool HasKind(const nlohmann::json& Value, EDevBackendJsonKind Kind)
{
    switch (Kind)
    {
    case K::String:
        return Value.is_string();
    case K::Number:
        return Value.is_number();
    case K::Integer:
        return IsIntegral(Value);
    case K::Boolean:
        return Value.is_boolean();
    case K::Object:
        return Value.is_object();
    case K::StringOrNull:
        return Value.is_string() || Value.is_null();
    }
    return false;
}

const char* KindName(EDevBackendJsonKind Kind)
{
    switch (Kind)
    {
    case K::String:
        return "a string";
    case K::Number:
        return "a number";
    case K::Integer:
        return "an integer";
    case K::Boolean:
        return "a boolean";
    case K::Object:
        return "an object";
    case K::StringOrNull:
        return "a string or null";
    }
    return "?";
}
} // namespace

bool ParseDevBackendJsonObject(const std::string& Body, nlohmann::json& Out, std::string& OutError)
{
    Out = nlohmann::json::parse(Body, nullptr, /*allow_exceptions=*/false);
    if (Out.is_discarded())
    {
        OutError = "body is not valid JSON";
        return false;
    }
    if (!Out.is_object())
    {
        OutError = "body is not a JSON object";
        return false;
    }
    return true;
}

bool ValidateDevBackendFields(const nlohmann::json& Object, const FRules& Rules,
                              std::string& OutError, const std::string& Prefix)
{
    for (const FDevBackendFieldRule& Rule : Rules)
    {
        const std::string Path = Prefix + Rule.Key;
        const auto It = Object.find(Rule.Key);
        if (It == Object.end())
        {
            OutError = "missing key " + Path;
            return false;
        }
        if (!HasKind(*It, Rule.Kind))
        {
            OutError = Path + " must be " + KindName(Rule.Kind);
            return false;
        }
        if (Rule.Children && !ValidateDevBackendFields(*It, *Rule.Children, OutError, Path + "."))
        {
            return false;
        }
    }
    return true;
}

bool ValidateSessionCreateBody(const nlohmann::json& Body, std::string& OutError)
{
    return ValidateDevBackendFields(Body, SessionCreateRules, OutError);
}

bool ValidateSessionUpdateBody(const nlohmann::json& Body, std::string& OutError)
{
    if (!ValidateDevBackendFields(Body, SessionUpdateRules, OutError))
    {
        return false;
    }
    if (Body["sessionId"].get<std::string>().empty())
    {
        OutError = "sessionId must not be empty";
        return false;
    }
    return true;
}

bool ValidateEndSessionBody(const nlohmann::json& Body, std::string& OutError)
{
    if (!ValidateDevBackendFields(Body, EndSessionRules, OutError))
    {
        return false;
    }
    if (Body["totalFramesCaptured"].get<double>() < 0 ||
        Body["totalEventsRecorded"].get<double>() < 0)
    {
        OutError = "totalFramesCaptured and totalEventsRecorded must not be negative";
        return false;
    }
    return true;
}

bool ValidateGameEventBody(const nlohmann::json& Body, std::string& OutError)
{
    if (!ValidateDevBackendFields(Body, GameEventRules, OutError))
    {
        return false;
    }
    if (FStringUtils::TrimStartAndEnd(Body["eventName"].get<std::string>()).empty())
    {
        OutError = "eventName must not be blank";
        return false;
    }
    return true;
}
