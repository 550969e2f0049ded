// The JSON model's conversions, the pretty printer, and the parser's limits.
#include "JsonSerializer.h"

#include <gtest/gtest.h>

namespace
{
FJsonObjectPtr Parse(const char* Text)
{
    FJsonObjectPtr Object;
    EXPECT_TRUE(FJsonSerializer::Deserialize(Text, Object)) << Text;
    return Object;
}
} // namespace

TEST(JsonAccessors, NumberConversions)
{
    const FJsonObjectPtr Object = Parse(R"({"half":2.5,"neg":-2.5,"big":3000000000,"text":"42.5",
        "word":"12abc","flag":true,"huge":1e300,"nul":null})");
    int32 I32 = -7;
    EXPECT_TRUE(Object->TryGetNumberField("half", I32));
    EXPECT_EQ(I32, 3); // half away from zero
    EXPECT_TRUE(Object->TryGetNumberField("neg", I32));
    EXPECT_EQ(I32, -3);
    I32 = -7;
    EXPECT_FALSE(Object->TryGetNumberField("big", I32)); // out of int32 range
    EXPECT_EQ(I32, -7);
    int64 I64 = 0;
    EXPECT_TRUE(Object->TryGetNumberField("big", I64));
    EXPECT_EQ(I64, 3000000000);
    EXPECT_FALSE(Object->TryGetNumberField("huge", I64));
    double D = 0;
    EXPECT_TRUE(Object->TryGetNumberField("text", D)); // numeric string
    EXPECT_DOUBLE_EQ(D, 42.5);
    EXPECT_FALSE(Object->TryGetNumberField("word", D));
    EXPECT_TRUE(Object->TryGetNumberField("flag", D));
    EXPECT_EQ(D, 1.0);
    EXPECT_FALSE(Object->TryGetNumberField("nul", D));
    EXPECT_FALSE(Object->TryGetNumberField("missing", D));
    uint32 U32 = 0;
    EXPECT_FALSE(Object->TryGetNumberField("neg", U32));
}

TEST(JsonAccessors, BoolAndStringConversions)
{
    struct FCase
    {
        const char* Json;
        bool bOk;
        bool bValue;
    };
    const FCase Cases[] = {
        {R"({"v":true})", true, true},   {R"({"v":0})", true, false},
        {R"({"v":-0.5})", true, true},   {R"({"v":"yes"})", true, true},
        {R"({"v":"ON"})", true, true},   {R"({"v":"True"})", true, true},
        {R"({"v":"no"})", true, false},  {R"({"v":"2"})", true, true},
        {R"({"v":"0"})", true, false},   {R"({"v":"maybe"})", true, false},
        {R"({"v":null})", false, false}, {R"({"v":{}})", false, false},
        {R"({"v":[]})", false, false},
    };
    for (const FCase& Case : Cases)
    {
        bool bValue = !Case.bValue;
        EXPECT_EQ(Parse(Case.Json)->TryGetBoolField("v", bValue), Case.bOk) << Case.Json;
        if (Case.bOk)
        {
            EXPECT_EQ(bValue, Case.bValue) << Case.Json;
        }
    }
    const FJsonObjectPtr Object = Parse(R"({"n":1920,"b":false,"o":{"k":1},"a":[1,"x"]})");
    FString Text;
    EXPECT_TRUE(Object->TryGetStringField("n", Text));
    EXPECT_EQ(Text, "1920");
    EXPECT_TRUE(Object->TryGetStringField("b", Text));
    EXPECT_EQ(Text, "false");
    EXPECT_FALSE(Object->TryGetStringField("o", Text));
    FJsonObjectPtr Nested;
    EXPECT_TRUE(Object->TryGetObjectField("o", Nested));
    EXPECT_FALSE(Object->TryGetObjectField("a", Nested));
    const FJsonArray* Array = nullptr;
    ASSERT_TRUE(Object->TryGetArrayField("a", Array));
    EXPECT_EQ(Array->size(), 2u);
}

TEST(JsonPrinter, PrettyFormIsByteExact)
{
    FJsonObject Root;
    Root.SetBoolField("isRollover", false);
    Root.SetNumberField("count", 1920);
    Root.SetNumberField("ratio", 0.1f);
    Root.SetNumberField("negative", -1);
    Root.SetStringField("text", "say \"hi\"\n\t\\ \x01");
    FJsonObjectPtr Nested = FJsonObject::Make();
    Nested->SetNumberField("width", 0);
    Root.SetObjectField("resolution", Nested);
    Root.SetObjectField("empty", FJsonObject::Make());
    Root.SetArrayField("list", {FJsonValue::MakeNumber(1), FJsonValue::MakeString("a")});
    Root.SetNumberField("count", 7); // replacing keeps the first position

    const FString Expected = "{\r\n"
                             "\t\"isRollover\": false,\r\n"
                             "\t\"count\": 7,\r\n"
                             "\t\"ratio\": 0.10000000149011612,\r\n"
                             "\t\"negative\": -1,\r\n"
                             "\t\"text\": \"say \\\"hi\\\"\\n\\t\\\\ \\u0001\",\r\n"
                             "\t\"resolution\": {\r\n"
                             "\t\t\"width\": 0\r\n"
                             "\t},\r\n"
                             "\t\"empty\": {},\r\n"
                             "\t\"list\": [\r\n"
                             "\t\t1,\r\n"
                             "\t\t\"a\"\r\n"
                             "\t]\r\n"
                             "}";
    EXPECT_EQ(FJsonSerializer::Serialize(Root), Expected);
    EXPECT_EQ(FJsonSerializer::Serialize(*Nested, false), "{\"width\":0}");
}

TEST(JsonPrinter, RoundTripsThroughTheParser)
{
    const FString Text = R"({"a":"é\u00e9","b":[true,null,{"c":-12.75}],"d":1e-7})";
    FJsonObjectPtr Object = Parse(Text.c_str());
    FJsonObjectPtr Again = Parse(FJsonSerializer::Serialize(*Object).c_str());
    EXPECT_EQ(FJsonSerializer::Serialize(*Again, false),
              FJsonSerializer::Serialize(*Object, false));
    EXPECT_EQ(Again->GetField("a")->AsString(), "éé");
}

TEST(JsonParser, RejectsMalformedTextOtherRootsAndDeepNesting)
{
    FJsonObjectPtr Object;
    EXPECT_FALSE(FJsonSerializer::Deserialize("", Object));
    EXPECT_FALSE(FJsonSerializer::Deserialize("{\"a\":", Object));
    EXPECT_FALSE(FJsonSerializer::Deserialize("[1,2]", Object));
    EXPECT_FALSE(FJsonSerializer::Deserialize("{} trailing", Object));
    EXPECT_FALSE(Object);
    const FString Deep = FString(100000, '[') + FString(100000, ']');
    FJsonValuePtr Value;
    EXPECT_FALSE(FJsonSerializer::Deserialize(Deep, Value));
    const FString Ok = FString(100, '[') + FString(100, ']');
    EXPECT_TRUE(FJsonSerializer::Deserialize(Ok, Value));
}
