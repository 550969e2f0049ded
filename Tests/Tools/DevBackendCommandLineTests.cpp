// The quorvex-dev-backend command line.
#include "DevBackendCommandLine.h"

#include <gtest/gtest.h>

TEST(DevBackendCommandLineTest, AcceptedArguments)
{
    struct FCase
    {
        std::vector<std::string> Args;
        bool bHelp;
        int Port;
        EDevBackendStore Store;
        std::string DataFolder = {};
        int CredentialTtlSeconds = 900;
    };
    const FCase Cases[] = {
        {{}, false, 0, EDevBackendStore::Gcs},
        {{"--help"}, true, 0, EDevBackendStore::Gcs},
        {{"-h"}, true, 0, EDevBackendStore::Gcs},
        {{"--port", "8080"}, false, 8080, EDevBackendStore::Gcs},
        {{"--port=65535", "--store=B2"}, false, 65535, EDevBackendStore::B2},
        {{"--store", "put", "--port", "0"}, false, 0, EDevBackendStore::SignedPut},
        {{"--store=Signed"}, false, 0, EDevBackendStore::SignedPut},
        {{"--data", "/tmp/objects", "--credential-ttl=60"},
         false,
         0,
         EDevBackendStore::Gcs,
         "/tmp/objects",
         60},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(::testing::PrintToString(Case.Args));
        FDevBackendCommandLine Parsed;
        std::string Error;
        ASSERT_TRUE(ParseDevBackendCommandLine(Case.Args, Parsed, Error)) << Error;
        EXPECT_EQ(Parsed.bHelp, Case.bHelp);
        EXPECT_EQ(Parsed.Port, Case.Port);
        EXPECT_EQ(Parsed.Store, Case.Store);
        EXPECT_EQ(Parsed.DataFolder, Case.DataFolder);
        EXPECT_EQ(Parsed.CredentialTtlSeconds, Case.CredentialTtlSeconds);
    }
}

TEST(DevBackendCommandLineTest, RefusedArguments)
{
    struct FCase
    {
        std::vector<std::string> Args;
        const char* Error;
    };
    const FCase Cases[] = {
        {{"--port"}, "--port needs a value"},
        {{"--port", "65536"}, "--port needs a number from 0 to 65535, got \"65536\""},
        {{"--port", "-1"}, "--port needs a number from 0 to 65535, got \"-1\""},
        {{"--port=99999999999"}, "--port needs a number from 0 to 65535, got \"99999999999\""},
        {{"--store", "s3"}, "--store must be gcs, b2 or put (also called signed), got \"s3\""},
        {{"--data="}, "--data needs a folder"},
        {{"--credential-ttl", "0"}, "--credential-ttl needs seconds from 1 to 86400, got \"0\""},
        {{"--credential-ttl=86401"},
         "--credential-ttl needs seconds from 1 to 86400, got \"86401\""},
        {{"--verbose"}, "unknown option \"--verbose\""},
    };
    for (const FCase& Case : Cases)
    {
        SCOPED_TRACE(::testing::PrintToString(Case.Args));
        FDevBackendCommandLine Parsed;
        std::string Error;
        EXPECT_FALSE(ParseDevBackendCommandLine(Case.Args, Parsed, Error));
        EXPECT_EQ(Error, Case.Error);
    }
}
