// The replay page's files (index.html, replay.js, replay.css), embedded in the
// backend when it is built.
#pragma once

#include <string_view>

// The bytes of the page file called Name; empty when there is no such file.
std::string_view DevBackendReplayAsset(std::string_view Name);

// The Content-Type to serve a page file with.
const char* DevBackendReplayContentType(std::string_view Name);
