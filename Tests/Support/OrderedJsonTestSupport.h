// Reading our JSON documents back with a second, order-preserving parser.
#pragma once

#include "Files.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <vector>

using FOrderedJson = nlohmann::ordered_json;

// Parses the file at Path; a missing file fails the test.
inline FOrderedJson ParseJsonFile(const FString& Path)
{
    FString Text;
    EXPECT_TRUE(FFileHelper::LoadFileToString(Text, Path)) << Path;
    return FOrderedJson::parse(Text);
}

// An object's keys in the order they were written.
inline std::vector<FString> Keys(const FOrderedJson& Object)
{
    std::vector<FString> Names;
    for (const auto& Item : Object.items())
    {
        Names.push_back(Item.key());
    }
    return Names;
}
