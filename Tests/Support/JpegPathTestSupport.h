// Names of the encoder's vector paths for tests parameterised by them.
#pragma once

#include "QuorvexJpegEncoder.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

inline const char* JpegPathWord(EQuorvexJpegPath Path)
{
    return Path == EQuorvexJpegPath::Avx2    ? "Avx2"
           : Path == EQuorvexJpegPath::Sse41 ? "Sse41"
                                             : "Scalar";
}

// The test name suffix of a path.
inline std::string JpegPathName(const ::testing::TestParamInfo<EQuorvexJpegPath>& Info)
{
    return JpegPathWord(Info.param);
}

// Names the path in failure messages (found by argument-dependent lookup).
inline void PrintTo(EQuorvexJpegPath Path, std::ostream* Out)
{
    *Out << JpegPathWord(Path);
}
