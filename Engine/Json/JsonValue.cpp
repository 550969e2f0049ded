#include "JsonValue.h"

#include "JsonSerializer.h"
#include "StringUtils.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace
{
// Optional sign, digits, at most one dot; at least one digit.
bool IsNumericText(const FString& Text)
{
    size_t I = 0;
    if (I < Text.size() && (Text[I] == '-' || Text[I] == '+'))
    {
        ++I;
    }
    bool bDigit = false;
    bool bDot = false;
    for (; I < Text.size(); ++I)
    {
        const char C = Text[I];
        if (C >= '0' && C <= '9')
        {
            bDigit = true;
        }
        else if (C == '.' && !bDot)
        {
            bDot = true;
        }
        else
        {
            return false;
        }
    }
    return bDigit;
}

template <typename IntType> bool RoundIntoRange(double Value, IntType& Out)
{
    if (!std::isfinite(Value))
    {
        return false;
    }
    const double Rounded = std::round(Value); // half away from zero
    if (Rounded < static_cast<double>(std::numeric_limits<IntType>::min()) ||
        Rounded > static_cast<double>(std::numeric_limits<IntType>::max()))
    {
        return false;
    }
    // int64's maximum is not exactly representable: 2^63 rounds up into it.
    if constexpr (sizeof(IntType) == 8)
    {
        if (Rounded >= 9223372036854775808.0)
        {
            return false;
        }
    }
    Out = static_cast<IntType>(Rounded);
    return true;
}

const FJsonArray& EmptyArray()
{
    static const FJsonArray Empty;
    return Empty;
}
} // namespace

FJsonValuePtr FJsonValue::MakeNull()
{
    return FJsonValuePtr(new FJsonValue(FStorage(std::monostate{})));
}
FJsonValuePtr FJsonValue::MakeString(FString Value)
{
    return FJsonValuePtr(new FJsonValue(FStorage(std::move(Value))));
}
FJsonValuePtr FJsonValue::MakeNumber(double Value)
{
    return FJsonValuePtr(new FJsonValue(FStorage(Value)));
}
FJsonValuePtr FJsonValue::MakeBool(bool Value)
{
    return FJsonValuePtr(new FJsonValue(FStorage(Value)));
}
FJsonValuePtr FJsonValue::MakeArray(FJsonArray Value)
{
    return FJsonValuePtr(new FJsonValue(FStorage(std::move(Value))));
}
FJsonValuePtr FJsonValue::MakeObject(FJsonObjectPtr Value)
{
    return FJsonValuePtr(new FJsonValue(FStorage(std::move(Value))));
}

EJson FJsonValue::Type() const
{
    switch (Value.index())
    {
    case 0:
        return EJson::Null;
    case 1:
        return EJson::String;
    case 2:
        return EJson::Number;
    case 3:
        return EJson::Boolean;
    case 4:
        return EJson::Array;
    case 5:
        return std::get<FJsonObjectPtr>(Value) ? EJson::Object : EJson::Null;
    }
    return EJson::None;
}

bool FJsonValue::TryGetString(FString& Out) const
{
    if (const FString* Text = std::get_if<FString>(&Value))
    {
        Out = *Text;
        return true;
    }
    if (const double* Number = std::get_if<double>(&Value))
    {
        Out = FJsonSerializer::FormatNumber(*Number);
        return true;
    }
    if (const bool* Flag = std::get_if<bool>(&Value))
    {
        Out = *Flag ? "true" : "false";
        return true;
    }
    return false;
}

bool FJsonValue::TryGetNumber(double& Out) const
{
    if (const double* Number = std::get_if<double>(&Value))
    {
        Out = *Number;
        return true;
    }
    if (const FString* Text = std::get_if<FString>(&Value))
    {
        if (!IsNumericText(*Text))
        {
            return false;
        }
        Out = std::strtod(Text->c_str(), nullptr);
        return true;
    }
    if (const bool* Flag = std::get_if<bool>(&Value))
    {
        Out = *Flag ? 1.0 : 0.0;
        return true;
    }
    return false;
}

bool FJsonValue::TryGetNumber(float& Out) const
{
    double Number = 0;
    if (!TryGetNumber(Number))
    {
        return false;
    }
    Out = static_cast<float>(Number);
    return true;
}

bool FJsonValue::TryGetNumber(int32& Out) const
{
    double Number = 0;
    return TryGetNumber(Number) && RoundIntoRange(Number, Out);
}

bool FJsonValue::TryGetNumber(int64& Out) const
{
    double Number = 0;
    return TryGetNumber(Number) && RoundIntoRange(Number, Out);
}

bool FJsonValue::TryGetNumber(uint32& Out) const
{
    double Number = 0;
    return TryGetNumber(Number) && RoundIntoRange(Number, Out);
}

bool FJsonValue::TryGetBool(bool& Out) const
{
    if (const bool* Flag = std::get_if<bool>(&Value))
    {
        Out = *Flag;
        return true;
    }
    if (const double* Number = std::get_if<double>(&Value))
    {
        Out = *Number != 0.0;
        return true;
    }
    if (const FString* Text = std::get_if<FString>(&Value))
    {
        using FStringUtils::EqualsIgnoreCase;
        if (EqualsIgnoreCase(*Text, "true") || EqualsIgnoreCase(*Text, "yes") ||
            EqualsIgnoreCase(*Text, "on"))
        {
            Out = true;
        }
        else if (IsNumericText(*Text))
        {
            Out = std::strtod(Text->c_str(), nullptr) != 0.0;
        }
        else
        {
            Out = false;
        }
        return true;
    }
    return false;
}

bool FJsonValue::TryGetArray(const FJsonArray*& Out) const
{
    if (const FJsonArray* Array = std::get_if<FJsonArray>(&Value))
    {
        Out = Array;
        return true;
    }
    return false;
}

bool FJsonValue::TryGetObject(FJsonObjectPtr& Out) const
{
    const FJsonObjectPtr* Object = std::get_if<FJsonObjectPtr>(&Value);
    if (Object && *Object)
    {
        Out = *Object;
        return true;
    }
    return false;
}

FString FJsonValue::AsString() const
{
    FString Out;
    TryGetString(Out);
    return Out;
}

double FJsonValue::AsNumber() const
{
    double Out = 0;
    TryGetNumber(Out);
    return Out;
}

bool FJsonValue::AsBool() const
{
    bool Out = false;
    TryGetBool(Out);
    return Out;
}

const FJsonArray& FJsonValue::AsArray() const
{
    const FJsonArray* Out = &EmptyArray();
    TryGetArray(Out);
    return *Out;
}

FJsonObjectPtr FJsonValue::AsObject() const
{
    FJsonObjectPtr Out;
    TryGetObject(Out);
    return Out;
}

bool FJsonObject::HasTypedField(const FString& Key, EJson Type) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->Type() == Type;
}

FJsonValuePtr FJsonObject::GetField(const FString& Key) const
{
    for (const FField& Field : Fields)
    {
        if (Field.first == Key)
        {
            return Field.second;
        }
    }
    return nullptr;
}

void FJsonObject::SetField(const FString& Key, FJsonValuePtr Value)
{
    if (!Value)
    {
        Value = FJsonValue::MakeNull();
    }
    for (FField& Field : Fields)
    {
        if (Field.first == Key)
        {
            Field.second = std::move(Value);
            return;
        }
    }
    Fields.emplace_back(Key, std::move(Value));
}

void FJsonObject::RemoveField(const FString& Key)
{
    std::erase_if(Fields, [&](const FField& Field) { return Field.first == Key; });
}

void FJsonObject::SetStringField(const FString& Key, const FString& Value)
{
    SetField(Key, FJsonValue::MakeString(Value));
}
void FJsonObject::SetNumberField(const FString& Key, double Value)
{
    SetField(Key, FJsonValue::MakeNumber(Value));
}
void FJsonObject::SetBoolField(const FString& Key, bool Value)
{
    SetField(Key, FJsonValue::MakeBool(Value));
}
void FJsonObject::SetObjectField(const FString& Key, FJsonObjectPtr Value)
{
    SetField(Key, Value ? FJsonValue::MakeObject(std::move(Value)) : FJsonValue::MakeNull());
}
void FJsonObject::SetArrayField(const FString& Key, FJsonArray Value)
{
    SetField(Key, FJsonValue::MakeArray(std::move(Value)));
}

bool FJsonObject::TryGetStringField(const FString& Key, FString& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetString(Out);
}

bool FJsonObject::TryGetNumberField(const FString& Key, double& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetNumber(Out);
}
bool FJsonObject::TryGetNumberField(const FString& Key, float& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetNumber(Out);
}
bool FJsonObject::TryGetNumberField(const FString& Key, int32& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetNumber(Out);
}
bool FJsonObject::TryGetNumberField(const FString& Key, int64& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetNumber(Out);
}
bool FJsonObject::TryGetNumberField(const FString& Key, uint32& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetNumber(Out);
}

bool FJsonObject::TryGetBoolField(const FString& Key, bool& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetBool(Out);
}

bool FJsonObject::TryGetObjectField(const FString& Key, FJsonObjectPtr& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetObject(Out);
}

bool FJsonObject::TryGetArrayField(const FString& Key, const FJsonArray*& Out) const
{
    const FJsonValuePtr Field = GetField(Key);
    return Field && Field->TryGetArray(Out);
}
