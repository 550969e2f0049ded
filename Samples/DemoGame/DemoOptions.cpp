#include "DemoOptions.h"

#include "DevBackendFaultScripts.h"

#include <charconv>
#include <cmath>

namespace
{
bool ParseNumber(const std::string& Text, double Min, double Max, double& Out)
{
    const char* End = Text.data() + Text.size();
    const auto [Ptr, Error] = std::from_chars(Text.data(), End, Out);
    return Error == std::errc() && Ptr == End && std::isfinite(Out) && Out >= Min && Out <= Max;
}

bool ParseInteger(const std::string& Text, int32 Min, int32 Max, int32& Out)
{
    const char* End = Text.data() + Text.size();
    const auto [Ptr, Error] = std::from_chars(Text.data(), End, Out);
    return Error == std::errc() && Ptr == End && Out >= Min && Out <= Max;
}

struct FOptionRule
{
    const char* Name;
    bool bTakesValue;
    // Shapes the in-process backend, so it means nothing against another one.
    bool bBackendOnly;
    // Applies the value; on a bad one returns what was expected instead.
    const char* (*Apply)(const std::string& Value, FDemoOptions& Out);
};

const FOptionRule Rules[] = {
    {"--help", false, false,
     [](const std::string&, FDemoOptions& Out) -> const char*
     {
         Out.bHelp = true;
         return nullptr;
     }},
    {"--unpaced", false, false,
     [](const std::string&, FDemoOptions& Out) -> const char*
     {
         Out.bUnpaced = true;
         return nullptr;
     }},
    {"--serve", false, true,
     [](const std::string&, FDemoOptions& Out) -> const char*
     {
         Out.bServe = true;
         return nullptr;
     }},
    {"--seconds", true, false,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     { return ParseNumber(Value, 1.0, 3600.0, Out.Seconds) ? nullptr : "1 to 3600 seconds"; }},
    {"--backend", true, false,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     {
         if (Value.rfind("http://", 0) != 0 && Value.rfind("https://", 0) != 0)
         {
             return "an http:// or https:// URL";
         }
         Out.Backend = Value;
         return nullptr;
     }},
    {"--store", true, true,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     { return ParseDevBackendStore(Value, Out.Store) ? nullptr : "gcs, b2 or signed"; }},
    {"--rhi", true, false,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     {
         if (Value != "d3d12" && Value != "generic")
         {
             return "d3d12 or generic";
         }
         Out.Rhi = Value == "d3d12" ? ERHIInterfaceType::D3D12 : ERHIInterfaceType::Vulkan;
         return nullptr;
     }},
    {"--quality", true, true,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     {
         int32 Quality = 0;
         if (!ParseInteger(Value, 1, 100, Quality))
         {
             return "1 to 100";
         }
         Out.Quality = Quality;
         return nullptr;
     }},
    {"--interval", true, true,
     [](const std::string& Value, FDemoOptions& Out) -> const char* {
         return ParseNumber(Value, 1.0, 600.0, Out.IntervalSeconds) ? nullptr : "1 to 600 seconds";
     }},
    {"--faults", true, true,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     {
         Out.Faults = Value;
         return nullptr; // checked against the backend's scripts below
     }},
    {"--port", true, true,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     { return ParseInteger(Value, 0, 65535, Out.Port) ? nullptr : "0 to 65535"; }},
    {"--out", true, false,
     [](const std::string& Value, FDemoOptions& Out) -> const char*
     {
         Out.OutputFolder = Value;
         return Value.empty() ? "a folder" : nullptr;
     }},
};

const FOptionRule* FindRule(const std::string& Arg)
{
    for (const FOptionRule& Rule : Rules)
    {
        if (Arg == Rule.Name || (Arg == "-h" && std::string(Rule.Name) == "--help"))
        {
            return &Rule;
        }
    }
    return nullptr;
}
} // namespace

bool ParseDemoOptions(const std::vector<std::string>& Args, FDemoOptions& Out,
                      std::string& OutError)
{
    std::string BackendOnly; // the first option given that needs the in-process backend
    for (size_t I = 0; I < Args.size(); ++I)
    {
        const std::string& Arg = Args[I];
        const FOptionRule* Rule = FindRule(Arg);
        if (!Rule)
        {
            OutError = "unknown option '" + Arg.substr(0, 64) + "'";
            return false;
        }
        if (Rule->bTakesValue && I + 1 >= Args.size())
        {
            OutError = Arg + " needs a value";
            return false;
        }
        const std::string Value = Rule->bTakesValue ? Args[++I] : std::string();
        if (const char* Expected = Rule->Apply(Value, Out))
        {
            OutError =
                "bad value for " + Arg + ": '" + Value.substr(0, 64) + "' (" + Expected + ")";
            return false;
        }
        if (Rule->bBackendOnly && BackendOnly.empty())
        {
            BackendOnly = Arg;
        }
    }
    if (!Out.Faults.empty() && !FDevBackendFaultScript::Make(Out.Faults, OutError))
    {
        return false;
    }
    if (!Out.Backend.empty() && !BackendOnly.empty())
    {
        OutError = BackendOnly + " configures the built-in dev backend and cannot be used with "
                                 "--backend (the backend named there decides)";
        return false;
    }
    return true;
}

std::string DemoUsage()
{
    std::string Usage =
        "Usage: DemoGame [options]\n"
        "Plays the sample game for a while, paced at 60 frames a second, while the Quorvex SDK\n"
        "records it against a dev backend started in this process, then stops the session and\n"
        "prints a summary with the address of the session's replay page.\n\n"
        "  --seconds N      how long to play, in seconds of wall time (default 20)\n"
        "  --backend URL    record against this backend instead (no replay page then; the\n"
        "                   options marked * configure the built-in backend and are refused)\n"
        "  --store S      * the object store the backend hands out: gcs, b2 or signed (default "
        "gcs)\n"
        "  --rhi R          the readback path: d3d12 (native staging buffers) or generic (the\n"
        "                   engine's texture readback) (default d3d12)\n"
        "  --quality Q    * JPEG quality the backend asks for, 1-100 (default 75)\n"
        "  --interval S   * seconds between batch uploads the backend asks for (default 5)\n"
        "  --faults NAME  * make the backend misbehave with one of its fault scripts:\n";
    for (const FDevBackendFaultScriptInfo& Script : FDevBackendFaultScript::All())
    {
        Usage +=
            std::string("                     ") + Script.Name + ": " + Script.Description + "\n";
    }
    Usage += "  --serve        * keep the backend and the replay page up at the end, until Ctrl-C\n"
             "  --port N       * the backend's port on 127.0.0.1 (default: a free one)\n"
             "  --out DIR        where the replay page and its data are written when not serving\n"
             "                   (default: quorvex-demo-replay in the temporary folder; replaced\n"
             "                   on every run)\n"
             "  --unpaced        run frames as fast as possible, each counting as 1/60 s of game\n"
             "                   time (for measurements; the scripted player keeps to the clock,\n"
             "                   so a short run plays less of its script)\n"
             "  --help           this text\n";
    return Usage;
}
