// Checks request bodies the way the backend does: the body is a JSON object and every
// key the client always writes is present with the right type. The first fault found
// is reported as a dotted key path ("device.resolution.width") and what was wrong.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

enum class EDevBackendJsonKind
{
    String,
    Number,  // any JSON number
    Integer, // a number with no fractional part
    Boolean,
    Object,
    StringOrNull,
};

struct FDevBackendFieldRule
{
    const char* Key;
    EDevBackendJsonKind Kind;
    const std::vector<FDevBackendFieldRule>* Children = nullptr; // for objects
};

// Parses Body; false with a message when it is not JSON or not an object.
bool ParseDevBackendJsonObject(const std::string& Body, nlohmann::json& Out, std::string& OutError);

// Checks Object against Rules (extra keys are allowed).
bool ValidateDevBackendFields(const nlohmann::json& Object,
                              const std::vector<FDevBackendFieldRule>& Rules, std::string& OutError,
                              const std::string& Prefix = {});

// The bodies of the session endpoints.
bool ValidateSessionCreateBody(const nlohmann::json& Body, std::string& OutError);
bool ValidateSessionUpdateBody(const nlohmann::json& Body, std::string& OutError);
bool ValidateEndSessionBody(const nlohmann::json& Body, std::string& OutError);
bool ValidateGameEventBody(const nlohmann::json& Body, std::string& OutError);
