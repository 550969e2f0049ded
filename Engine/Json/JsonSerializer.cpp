#include "JsonSerializer.h"

#include "StringUtils.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace
{
// Deeper documents are refused so that parsing outside input cannot exhaust the stack.
constexpr size_t MaxDepth = 512;

class FPrinter
{
public:
    explicit FPrinter(bool bInPretty) : bPretty(bInPretty) {}

    void Value(const FJsonValue& Value, int Depth)
    {
        switch (Value.Type())
        {
        case EJson::String:
            Out += FJsonSerializer::QuoteString(Value.AsString());
            break;
        case EJson::Number:
            Out += FJsonSerializer::FormatNumber(Value.AsNumber());
            break;
        case EJson::Boolean:
            Out += Value.AsBool() ? "true" : "false";
            break;
        case EJson::Array:
            Array(Value.AsArray(), Depth);
            break;
        case EJson::Object:
            Object(*Value.AsObject(), Depth);
            break;
        default:
            Out += "null";
            break;
        }
    }

    void Object(const FJsonObject& Object, int Depth)
    {
        Out += '{';
        bool bFirst = true;
        for (const auto& [Key, Field] : Object.Values())
        {
            Separator(bFirst, Depth + 1);
            Out += FJsonSerializer::QuoteString(Key);
            Out += bPretty ? ": " : ":";
            Value(*Field, Depth + 1);
        }
        Close(bFirst, Depth, '}');
    }

    void Array(const FJsonArray& Array, int Depth)
    {
        Out += '[';
        bool bFirst = true;
        for (const FJsonValuePtr& Element : Array)
        {
            Separator(bFirst, Depth + 1);
            if (Element)
            {
                Value(*Element, Depth + 1);
            }
            else
            {
                Out += "null";
            }
        }
        Close(bFirst, Depth, ']');
    }

    FString Out;

private:
    void Separator(bool& bFirst, int Depth)
    {
        if (!bFirst)
        {
            Out += ',';
        }
        bFirst = false;
        NewLine(Depth);
    }

    void Close(bool bEmpty, int Depth, char Bracket)
    {
        if (!bEmpty)
        {
            NewLine(Depth);
        }
        Out += Bracket;
    }

    void NewLine(int Depth)
    {
        if (bPretty)
        {
            Out += "\r\n";
            Out.append(static_cast<size_t>(Depth), '\t');
        }
    }

    bool bPretty;
};

// Builds the document model straight from the parser's events.
class FBuilder : public nlohmann::json_sax<nlohmann::json>
{
public:
    bool null() override { return Add(FJsonValue::MakeNull()); }
    bool boolean(bool Value) override { return Add(FJsonValue::MakeBool(Value)); }
    bool number_integer(number_integer_t Value) override
    {
        return Add(FJsonValue::MakeNumber(static_cast<double>(Value)));
    }
    bool number_unsigned(number_unsigned_t Value) override
    {
        return Add(FJsonValue::MakeNumber(static_cast<double>(Value)));
    }
    bool number_float(number_float_t Value, const string_t&) override
    {
        return Add(FJsonValue::MakeNumber(Value));
    }
    bool string(string_t& Value) override { return Add(FJsonValue::MakeString(std::move(Value))); }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override
    {
        FJsonObjectPtr Object = FJsonObject::Make();
        if (!Add(FJsonValue::MakeObject(Object)) || Stack.size() >= MaxDepth)
        {
            return false;
        }
        Stack.push_back({Object, nullptr, {}});
        return true;
    }
    bool key(string_t& Key) override
    {
        Stack.back().PendingKey = std::move(Key);
        return true;
    }
    bool end_object() override
    {
        Stack.pop_back();
        return true;
    }
    bool start_array(std::size_t) override
    {
        auto Array = std::make_shared<FJsonArray>();
        // Arrays are values held by copy; build in place and attach on close.
        if (Stack.size() >= MaxDepth)
        {
            return false;
        }
        Stack.push_back({nullptr, Array, {}});
        return true;
    }
    bool end_array() override
    {
        FJsonArray Array = std::move(*Stack.back().Array);
        Stack.pop_back();
        return Add(FJsonValue::MakeArray(std::move(Array)));
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override
    {
        return false;
    }

    FJsonValuePtr Root;

private:
    struct FFrame
    {
        FJsonObjectPtr Object;
        std::shared_ptr<FJsonArray> Array;
        FString PendingKey;
    };

    bool Add(FJsonValuePtr Value)
    {
        if (Stack.empty())
        {
            Root = std::move(Value);
            return true;
        }
        FFrame& Top = Stack.back();
        if (Top.Object)
        {
            Top.Object->SetField(Top.PendingKey, std::move(Value));
        }
        else
        {
            Top.Array->push_back(std::move(Value));
        }
        return true;
    }

    std::vector<FFrame> Stack;
};
} // namespace

namespace FJsonSerializer
{
FString Serialize(const FJsonObject& Object, bool bPretty)
{
    FPrinter Printer(bPretty);
    Printer.Object(Object, 0);
    return Printer.Out;
}

FString Serialize(const FJsonValue& Value, bool bPretty)
{
    FPrinter Printer(bPretty);
    Printer.Value(Value, 0);
    return Printer.Out;
}

bool Deserialize(std::string_view Text, FJsonValuePtr& Out)
{
    FBuilder Builder;
    const bool bOk = nlohmann::json::sax_parse(Text.begin(), Text.end(), &Builder,
                                               nlohmann::json::input_format_t::json, true);
    if (!bOk || !Builder.Root)
    {
        return false;
    }
    Out = std::move(Builder.Root);
    return true;
}

bool Deserialize(std::string_view Text, FJsonObjectPtr& Out)
{
    FJsonValuePtr Value;
    FJsonObjectPtr Object;
    if (!Deserialize(Text, Value) || !Value->TryGetObject(Object))
    {
        return false;
    }
    Out = std::move(Object);
    return true;
}

FString QuoteString(std::string_view Text)
{
    FString Out;
    Out.reserve(Text.size() + 2);
    Out += '"';
    for (const char C : Text)
    {
        switch (C)
        {
        case '"':
            Out += "\\\"";
            break;
        case '\\':
            Out += "\\\\";
            break;
        case '\b':
            Out += "\\b";
            break;
        case '\f':
            Out += "\\f";
            break;
        case '\n':
            Out += "\\n";
            break;
        case '\r':
            Out += "\\r";
            break;
        case '\t':
            Out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(C) < 0x20)
            {
                Out += FStringUtils::Printf("\\u%04x", static_cast<unsigned>(C));
            }
            else
            {
                Out += C;
            }
        }
    }
    Out += '"';
    return Out;
}

FString FormatNumber(double Value)
{
    // JSON has no spelling for infinities or NaN.
    if (!std::isfinite(Value))
    {
        return "null";
    }
    return FStringUtils::Printf("%.17g", Value);
}
} // namespace FJsonSerializer
