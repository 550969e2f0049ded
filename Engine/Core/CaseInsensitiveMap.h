// An insertion-ordered map from text keys to values whose keys compare ignoring
// ASCII case. HTTP headers and form fields rely on both properties: lookups must
// not care how a peer spelled a header, and bodies must list fields in the order
// they were added.
#pragma once

#include "StringUtils.h"

#include <utility>
#include <vector>

template <typename ValueType> class TCaseInsensitiveOrderedMap
{
public:
    using FEntry = std::pair<FString, ValueType>;

    // Replaces the value of an existing key (keeping its position and first spelling)
    // or appends a new entry.
    void Add(const FString& Key, ValueType Value)
    {
        if (ValueType* Existing = Find(Key))
        {
            *Existing = std::move(Value);
            return;
        }
        Entries.emplace_back(Key, std::move(Value));
    }

    ValueType* Find(std::string_view Key)
    {
        for (FEntry& Entry : Entries)
        {
            if (FStringUtils::EqualsIgnoreCase(Entry.first, Key))
            {
                return &Entry.second;
            }
        }
        return nullptr;
    }

    const ValueType* Find(std::string_view Key) const
    {
        return const_cast<TCaseInsensitiveOrderedMap*>(this)->Find(Key);
    }

    bool Contains(std::string_view Key) const { return Find(Key) != nullptr; }

    // Removes the key if present; returns whether it was.
    bool Remove(std::string_view Key)
    {
        for (auto It = Entries.begin(); It != Entries.end(); ++It)
        {
            if (FStringUtils::EqualsIgnoreCase(It->first, Key))
            {
                Entries.erase(It);
                return true;
            }
        }
        return false;
    }

    size_t Num() const { return Entries.size(); }
    bool IsEmpty() const { return Entries.empty(); }
    void Empty() { Entries.clear(); }

    auto begin() const { return Entries.begin(); }
    auto end() const { return Entries.end(); }

private:
    std::vector<FEntry> Entries;
};
