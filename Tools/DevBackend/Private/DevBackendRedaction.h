// What the dev backend keeps of a request or an answer in its log, with every upload
// credential taken out: the Authorization header, signature query parameters, and the
// tokens, policies and signatures of issued credentials. The log is printed by the
// dev backend program, so nothing in it may let a reader upload in a session's name.
#pragma once

#include "DevBackendTypes.h"

#include <string>

inline constexpr const char* DevBackendRedacted = "<redacted>";

// A copy of Request with its credentials replaced by DevBackendRedacted.
FDevBackendRequest RedactDevBackendRequest(const FDevBackendRequest& Request);
// Target with the values of its signature parameters replaced.
std::string RedactDevBackendTarget(const std::string& Target);
// A JSON answer body with the secrets of any uploadCredentials replaced (at the top
// level or under "data"); other bodies unchanged.
std::string RedactDevBackendAnswerBody(const std::string& Body);
