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
        if (Name != "--port" && Name != "--store")
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
        if (Name == "--port" && !ParsePort(Value, Out.Port, OutError))
        {
            return false;
        }
        if (Name == "--store" && !ParseDevBackendStore(Value, Out.Store))
        {
            OutError = "--store must be gcs, b2 or put, got \"" + Value + "\"";
            return false;
        }
    }
    return true;
}

std::string DevBackendUsage()
{
    return "Usage: quorvex-dev-backend [--port N] [--store gcs|b2|put] [--help]\n"
           "\n"
           "Runs the Quorvex recording backend on 127.0.0.1 for local development.\n"
           "\n"
           "  --port N       port to listen on; 0 (the default) picks a free one\n"
           "  --store STYLE  upload credentials handed to new sessions:\n"
           "                   gcs  form POST with a signed policy (default)\n"
           "                   b2   B2-style upload with an authorization token\n"
           "                   put  PUT to a signed URL\n"
           "  --help         show this text\n"
           "\n"
           "Prints the base URL it listens on, then one line per request. Stop it with Ctrl+C.\n";
}
