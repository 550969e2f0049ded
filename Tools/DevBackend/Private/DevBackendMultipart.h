// A multipart/form-data reader that works on the body as it streams in, the way an
// upload server reads a browser form: the boundary comes from the Content-Type, the
// parts may come in any order, their names and values are collected (bounded in size
// and number), and the bytes of the part named "file" go to a sink without being
// kept. Parts after the file are read and ignored.
//
// Thread safety: one reader belongs to the thread streaming the body into it.
#pragma once

#include "DevBackendTypes.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The boundary parameter of a multipart/form-data Content-Type (quotes removed);
// empty when the type is another or the boundary is missing or invalid.
std::string DevBackendMultipartBoundary(std::string_view ContentType);

class FDevBackendMultipartReader
{
public:
    struct FLimits
    {
        std::size_t MaxHeaderBytes = 8 * 1024;
        std::size_t MaxFieldBytes = 64 * 1024;
        std::size_t MaxFields = 64;
    };

    FDevBackendMultipartReader(const std::string& Boundary, FDevBackendBodySink FileSink,
                               FLimits Limits);

    // Takes the next piece of the body. After an error the rest is ignored; the
    // caller keeps feeding so that the whole body is consumed.
    void Feed(const char* Data, std::size_t Size);
    // True when the body was well formed and ended with the closing delimiter.
    bool Finish();

    const std::string& Error() const { return ErrorText; }
    // The form fields before the file, in the order sent.
    const std::vector<std::pair<std::string, std::string>>& Fields() const { return FieldList; }
    bool HasFile() const { return bFileSeen; }
    const std::string& FileName() const { return FileNameText; }

private:
    enum class EState
    {
        Preamble,
        AfterDelimiter,
        Headers,
        Body,
        Done,
        Failed,
    };

    bool Step();
    bool StepPreamble();
    bool StepAfterDelimiter();
    bool StepHeaders();
    bool StepBody();
    bool StartPart(std::string_view HeaderBlock);
    bool Emit(const char* Data, std::size_t Size);
    bool Fail(std::string Why);

    // All owned by the thread streaming the body.
    std::string Delimiter; // "\r\n--" + boundary
    FDevBackendBodySink FileSink;
    FLimits Limits;
    EState State = EState::Preamble;
    std::string Pending = "\r\n"; // lets a body start with the delimiter's dashes
    enum class EPart
    {
        Field,
        File,
        Ignored,
    } Part = EPart::Ignored;
    std::vector<std::pair<std::string, std::string>> FieldList;
    bool bFileSeen = false;
    std::string FileNameText;
    std::string ErrorText;
};
