// The engine's description of the sample game's host.
#pragma once

#include "CoreTypes.h"

// Sets the engine up as the sample game's host: its saved folder, the plugin's search
// path, the project's names and a 1920 x 1080 display.
void DescribeDemoHost(const FString& SavedDir);
