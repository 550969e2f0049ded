// The error shapes of the object stores: XML <Error> documents for the form-upload and
// signed-URL stores, {"status","code","message"} JSON for the B2-style store. Text that
// came from the client is bounded and stripped of control characters before it is
// echoed, and XML text is escaped.
#pragma once

#include "DevBackendTypes.h"

#include <cstddef>
#include <string>
#include <string_view>

// At most MaxBytes of Text, control characters replaced by '?', "..." marking a cut.
std::string DevBackendBoundedText(std::string_view Text, std::size_t MaxBytes = 200);
// Escapes & < > " ' for XML text.
std::string DevBackendXmlEscape(std::string_view Text);

// <?xml ...?><Error><Code/><Message/>[<Details/>]</Error>, as application/xml.
FDevBackendReply DevBackendXmlError(int Status, std::string_view Code, std::string_view Message,
                                    std::string_view Details = {});
// {"status":Status,"code":Code,"message":Message}, as application/json.
FDevBackendReply DevBackendB2Error(int Status, std::string_view Code, std::string_view Message);

// Compares two secrets in time independent of where they differ.
bool DevBackendSecretsEqual(std::string_view A, std::string_view B);
