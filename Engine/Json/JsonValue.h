// The JSON document model: values and objects with the engine's accessors and
// conversions.
//
// Conversions (TryGet* on a value of another type):
// - number -> integer: rounds half away from zero; fails outside the target range;
// - string -> number: only when the text is numeric (optional sign, digits, one dot);
// - string -> bool: "true"/"yes"/"on" are true, "false"/"no"/"off" false, other
//   numeric text is true when non-zero, anything else false;
// - number -> bool: non-zero; bool -> number: 1 or 0;
// - number and bool -> string: their printed form.
#pragma once

#include "CoreTypes.h"

#include <memory>
#include <variant>
#include <vector>

class FJsonObject;
class FJsonValue;

using FJsonValuePtr = std::shared_ptr<FJsonValue>;
using FJsonObjectPtr = std::shared_ptr<FJsonObject>;
using FJsonArray = std::vector<FJsonValuePtr>;

enum class EJson : uint8
{
    None,
    Null,
    String,
    Number,
    Boolean,
    Array,
    Object,
};

class FJsonValue
{
public:
    static FJsonValuePtr MakeNull();
    static FJsonValuePtr MakeString(FString Value);
    static FJsonValuePtr MakeNumber(double Value);
    static FJsonValuePtr MakeBool(bool Value);
    static FJsonValuePtr MakeArray(FJsonArray Value);
    static FJsonValuePtr MakeObject(FJsonObjectPtr Value);

    EJson Type() const;
    bool IsNull() const { return Type() == EJson::Null; }

    bool TryGetString(FString& Out) const;
    bool TryGetNumber(double& Out) const;
    bool TryGetNumber(float& Out) const;
    bool TryGetNumber(int32& Out) const;
    bool TryGetNumber(int64& Out) const;
    bool TryGetNumber(uint32& Out) const;
    bool TryGetBool(bool& Out) const;
    bool TryGetArray(const FJsonArray*& Out) const;
    bool TryGetObject(FJsonObjectPtr& Out) const;

    // The value converted as above, or the type's empty value when it does not convert.
    FString AsString() const;
    double AsNumber() const;
    bool AsBool() const;
    const FJsonArray& AsArray() const;
    FJsonObjectPtr AsObject() const;

private:
    using FStorage =
        std::variant<std::monostate, FString, double, bool, FJsonArray, FJsonObjectPtr>;
    explicit FJsonValue(FStorage InValue) : Value(std::move(InValue)) {}
    FStorage Value; // monostate means JSON null
};

// An object: fields in insertion order. Setting an existing key replaces its
// value in place; keys compare exactly.
class FJsonObject
{
public:
    using FField = std::pair<FString, FJsonValuePtr>;

    static FJsonObjectPtr Make() { return std::make_shared<FJsonObject>(); }

    const std::vector<FField>& Values() const { return Fields; }
    bool HasField(const FString& Key) const { return GetField(Key) != nullptr; }
    bool HasTypedField(const FString& Key, EJson Type) const;
    // Null when the key is absent.
    FJsonValuePtr GetField(const FString& Key) const;
    void SetField(const FString& Key, FJsonValuePtr Value);
    void RemoveField(const FString& Key);

    void SetStringField(const FString& Key, const FString& Value);
    void SetNumberField(const FString& Key, double Value);
    void SetBoolField(const FString& Key, bool Value);
    void SetObjectField(const FString& Key, FJsonObjectPtr Value);
    void SetArrayField(const FString& Key, FJsonArray Value);

    // Each returns false (leaving Out alone) when the key is missing or the value
    // does not convert.
    bool TryGetStringField(const FString& Key, FString& Out) const;
    bool TryGetNumberField(const FString& Key, double& Out) const;
    bool TryGetNumberField(const FString& Key, float& Out) const;
    bool TryGetNumberField(const FString& Key, int32& Out) const;
    bool TryGetNumberField(const FString& Key, int64& Out) const;
    bool TryGetNumberField(const FString& Key, uint32& Out) const;
    bool TryGetBoolField(const FString& Key, bool& Out) const;
    bool TryGetObjectField(const FString& Key, FJsonObjectPtr& Out) const;
    bool TryGetArrayField(const FString& Key, const FJsonArray*& Out) const;

private:
    std::vector<FField> Fields;
};
