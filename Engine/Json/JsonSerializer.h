// Reading and printing JSON text.
//
// The pretty form is the engine's: fields in insertion order, CRLF line ends, one
// tab per nesting level, ": " between a key and its value, and every number printed
// with "%.17g" (so 1920 prints as 1920 and 0.1f, widened to double, as
// 0.10000000149011612). Strings escape '"', '\\' and control characters.
#pragma once

#include "JsonValue.h"

namespace FJsonSerializer
{
// Prints an object; bPretty false gives the condensed form with no white space.
FString Serialize(const FJsonObject& Object, bool bPretty = true);
FString Serialize(const FJsonValue& Value, bool bPretty = true);

// Parses text whose root is an object. False (Out untouched) on malformed text or another root.
bool Deserialize(std::string_view Text, FJsonObjectPtr& Out);
// Parses any JSON value.
bool Deserialize(std::string_view Text, FJsonValuePtr& Out);

// The escaped form of Text, quotes included.
FString QuoteString(std::string_view Text);
// A number as the printer writes it.
FString FormatNumber(double Value);
} // namespace FJsonSerializer
