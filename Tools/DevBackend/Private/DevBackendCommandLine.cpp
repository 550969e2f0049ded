#include "DevBackendCommandLine.h"

#include "StringUtils.h"

namespace
{
// Splits "--name=value" into name and value; a bare "--name" leaves the value unset.
bool SplitOption(const std::string& Arg, std::string& OutName, std::string& OutValue,
                 bool& bOutHasValue)
{
    const std::size_t Equals = Arg.find('=');
    bOutHasValue = Equals != std::string::npos;
    OutName = Arg.substr(0, Equals);
    OutValue = bOutHasValue ? Arg.substr(Equals + 1) : std::string();
    return true;
}

bool ParsePort(const std::string& Text, int& OutPort, std::string& OutError)
{
    if (!FStringUtils::IsAllDigits(Text) || Text.size() > 5 || std::stoi(Text) > 65535)
    {
        OutError = "--port needs a number from 0 to 65535, got \"" + Text + "\"";
        return false;
    }
    OutPort = std::stoi(Text);
    return true;
}

bool ParseTtl(const std::string& Text, int& OutSeconds, std::string& OutError)
{
    // A day at most: long enough for any manual session, short enough to fit an int.
    if (!FStringUtils::IsAllDigits(Text) || Text.empty() || Text.size() > 5 ||
        std::stoi(Text) < 1 || std::stoi(Text) > 86400)
    {
        OutError = "--credential-ttl needs seconds from 1 to 86400, got \"" + Text + "\"";
        return false;
    }
    OutSeconds = std::stoi(Text);
    return true;
}

bool ApplyOption(const std::string& Name, const std::string& Value, FDevBackendCommandLine& Out,
                 std::string& OutError)
{
    if (Name == "--port")
    {
        return ParsePort(Value, Out.Port, OutError);
    }
    if (Name == "--store")
    {
        if (!ParseDevBackendStore(Value, Out.Store))
        {
            OutError = "--store must be gcs, b2 or put (also called signed), got \"" + Value + "\"";
            return false;
        }
        return true;
    }
    if (Name == "--data")
    {
        if (Value.empty())
        {
            OutError = "--data needs a folder";
            return false;
        }
        Out.DataFolder = Value;
        return true;
    }
    return ParseTtl(Value, Out.CredentialTtlSeconds, OutError);
}

bool IsValueOption(const std::string& Name)
{
    return Name == "--port" || Name == "--store" || Name == "--data" || Name == "--credential-ttl";
}
} // namespace

bool ParseDevBackendCommandLine(const std::vector<std::string>& Args, FDevBackendCommandLine& Out,
                                std::string& OutError)
{
    for (std::size_t I = 0; I < Args.size(); ++I)
    {
        std::string Name;
        std::string Value;
        bool bHasValue = false;
        SplitOption(Args[I], Name, Value, bHasValue);
        if (Name == "--help" || Name == "-h")
        {
            Out.bHelp = true;
            continue;
        }
        if (!IsValueOption(Name))
        {
            OutError = "unknown option \"" + Args[I] + "\"";
            return false;
        }
        if (!bHasValue)
        {
            if (I + 1 >= Args.size())
            {
                OutError = Name + " needs a value";
                return false;
            }
            Value = Args[++I];
        }
        if (!ApplyOption(Name, Value, Out, OutError))
        {
            return false;
        }
    }
    return true;
}

std::string DevBackendUsage()
{
    return "Usage: quorvex-dev-backend [--port N] [--store gcs|b2|put] [--data DIR]\n"
           "                           [--credential-ttl SECONDS] [--help]\n"
           "\n"
           "Runs the Quorvex recording backend on 127.0.0.1 for local development, with the\n"
           "object store that its upload credentials point at on the same port.\n"
           "\n"
           "  --port N                port to listen on; 0 (the default) picks a free one\n"
           "  --store STYLE           upload credentials handed to new sessions:\n"
           "                            gcs     form POST with a signed policy (default)\n"
           "                            b2      B2-style upload with an authorization token\n"
           "                            put     PUT to a signed URL (also: signed)\n"
           "  --data DIR              keep uploaded objects in DIR; by default a temporary\n"
           "                          folder that is removed at exit\n"
           "  --credential-ttl SECS   lifetime of upload credentials (default 900)\n"
           "  --help                  show this text\n"
           "\n"
           "Prints the base URL it listens on, then one line per request (credentials\n"
           "redacted). Uploaded objects: GET /dev/sessions/{id}/objects lists a session's,\n"
           "GET /dev/objects/{id}/{name} returns one. The replay page of what was\n"
           "recorded is served at /replay/ (the URL is printed at start). Stop it with Ctrl+C.\n";
}
