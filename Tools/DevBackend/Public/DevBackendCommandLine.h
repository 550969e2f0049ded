// The command line of the quorvex-dev-backend executable.
#pragma once

#include "DevBackendTypes.h"

#include <string>
#include <vector>

struct FDevBackendCommandLine
{
    bool bHelp = false;
    int Port = 0; // 0 picks a free port
    EDevBackendStore Store = EDevBackendStore::Gcs;
    std::string DataFolder;         // empty: a temporary folder removed at exit
    int CredentialTtlSeconds = 900; // lifetime of issued upload credentials
};

// Parses the arguments after the program name ("--port 8080", "--port=8080",
// "--store b2", "--data DIR", "--credential-ttl 600", "--help"). False with a message
// on anything it does not accept.
bool ParseDevBackendCommandLine(const std::vector<std::string>& Args, FDevBackendCommandLine& Out,
                                std::string& OutError);

// The --help text.
std::string DevBackendUsage();
