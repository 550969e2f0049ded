// The backend's answer shapes: {"success":true,"data":{...}} and
// {"success":false,"data":{"code":...,"message":...}}, plus the error codes used.
#pragma once

#include "DevBackendTypes.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace DevBackendCodes
{
inline constexpr const char* InvalidRequest = "InvalidRequest";
inline constexpr const char* UnsupportedMediaType = "UnsupportedMediaType";
inline constexpr const char* NotFound = "NotFound";
inline constexpr const char* MethodNotAllowed = "MethodNotAllowed";
inline constexpr const char* SessionNotFound = "SessionNotFound";
// What the client reads as "this session is no longer active".
inline constexpr const char* InvalidSessionToken = "InvalidSessionToken";
inline constexpr const char* SessionIdCollision = "SessionIdCollision";
} // namespace DevBackendCodes

// The message sent with InvalidSessionToken.
inline constexpr const char* DevBackendSessionExpiredMessage = "Session has expired";

std::string DevBackendErrorBody(std::string_view Code, std::string_view Message);
FDevBackendReply DevBackendError(int Status, std::string_view Code, std::string_view Message);
FDevBackendReply DevBackendSuccess(nlohmann::json Data, int Status = 200);
