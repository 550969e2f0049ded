// Keeping credentials and hostile server text out of logs and out of what the host
// is handed. Every function is pure, linear in its input and callable on any thread.
#pragma once

#include "CoreTypes.h"

#include <string_view>

namespace QuorvexRedaction
{
// At most this many bytes of server text are kept for a log line or a completion.
inline constexpr size_t MaxServerTextBytes = 2048;

// The text with every credential replaced by "<redacted>": the string values of the
// members "authorizationToken", "uploadUrl", "Authorization" and of the other
// credential keys, every string value inside "formFields" and "requiredHeaders",
// the query of every URL, and the tail of a Backblaze upload URL. One pass.
FString RedactSecrets(std::string_view Text);

// The query of every "scheme://" URL in Text replaced by "<redacted>".
FString RedactUrlQueries(std::string_view Text);

// RedactSecrets over the first MaxServerTextBytes of Text; a longer text ends with
// a note of its full length.
FString RedactBounded(std::string_view Text);

// Control characters (CR, LF, ESC, DEL, ...) written as visible escapes, so server
// text cannot break or forge a log line.
FString EscapeControlCharacters(std::string_view Text);
} // namespace QuorvexRedaction
