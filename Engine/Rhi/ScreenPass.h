// The CPU implementation of the screen pass: resampling a UV rectangle of one
// texture into a rectangle of another with point or bilinear filtering and clamp
// addressing. Called by the command list on the render thread.
#pragma once

#include "RhiCommandList.h"

void ExecuteScreenPass(const FScreenPassDesc& Desc);
