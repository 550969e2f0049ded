// Writes a multipart/form-data body (the form fields, then one file part) into a
// file, streaming the payload through a 64 KiB buffer so a large archive is never
// held in memory. The builder owns the body file: destroying it deletes the file.
//
// Any thread; one builder is used by one thread at a time.
#pragma once

#include "CaseInsensitiveMap.h"
#include "CoreTypes.h"

class FQuorvexMultipartFormBuilder
{
public:
    FQuorvexMultipartFormBuilder() = default;
    ~FQuorvexMultipartFormBuilder();
    FQuorvexMultipartFormBuilder(const FQuorvexMultipartFormBuilder&) = delete;
    FQuorvexMultipartFormBuilder& operator=(const FQuorvexMultipartFormBuilder&) = delete;

    // Writes the body to BodyPath: each field in order, then the payload as the part
    // named "file". False (and no body file) when anything fails; an earlier build's
    // body file is deleted first.
    bool Build(const TCaseInsensitiveOrderedMap<FString>& FormFields, const FString& PayloadPath,
               const FString& PayloadFileName, const FString& PayloadContentType,
               const FString& InBodyPath);

    // After a successful build: "multipart/form-data; boundary=..." and the body file.
    const FString& GetContentType() const { return ContentType; }
    const FString& GetBodyPath() const { return BodyPath; }

private:
    void DeleteBody();

    FString ContentType;
    FString BodyPath; // empty unless a build succeeded
};
