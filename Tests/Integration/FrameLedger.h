// The frame ledger: an audit of a whole recording that trusts none of the SDK's own
// counters. It takes the frames the screenshot step stored (one log line each), the
// frames inside every object the dev backend's stores accepted (read back by
// Python's zipfile, an independent archive reader), and the frames the SDK said it
// dropped (each drop rule logs how many). The books balance when every stored frame
// is in exactly one accepted object or was dropped by a rule that said so: nothing
// silently lost, nothing uploaded twice, nothing uploaded that was never stored.
#pragma once

#include "DevBackendServer.h"
#include "Files.h"
#include "Logging.h"
#include "TestSupport.h"

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

// A frame's identity in both books: capture time and JPEG size.
struct FLedgerFrame
{
    long long Timestamp = 0;
    long long Bytes = 0;
    auto operator<=>(const FLedgerFrame&) const = default;
};

struct FLedgerObject
{
    std::string SessionId;
    std::string Name;
    std::vector<FLedgerFrame> Frames;
};

struct FLedgerBalance
{
    int Stored = 0;
    int Uploaded = 0;
    int Dropped = 0;
    int Objects = 0;
    std::map<std::string, int> DroppedByRule;
    std::vector<std::string> Faults; // empty when the books balance

    bool Balances() const { return Faults.empty(); }
    std::string Describe() const
    {
        std::ostringstream Out;
        Out << "stored=" << Stored << " uploaded=" << Uploaded << " dropped=" << Dropped
            << " objects=" << Objects;
        for (const auto& [Rule, Count] : DroppedByRule)
        {
            Out << "\n  dropped by '" << Rule << "': " << Count;
        }
        for (const std::string& Fault : Faults)
        {
            Out << "\n  FAULT: " << Fault;
        }
        return Out.str();
    }
};

class FFrameLedger
{
public:
    // The log lines by which the SDK reports frames that will never reach the store,
    // each with the count as its first number.
    static const std::vector<std::string>& DropRules()
    {
        static const std::vector<std::string> Rules = {
            "QuorvexSDK: Final flush is inline at teardown; dropping ",
            "QuorvexSDK: batch zip: ",
            "QuorvexSDK: discarded ",
        };
        return Rules;
    }

    static std::multiset<FLedgerFrame> StoredFrames(const FLogCapture& Log)
    {
        std::multiset<FLedgerFrame> Frames;
        for (const FLogLine& Line : Log.Matching("QuorvexSDK: screenshot stored ts="))
        {
            FLedgerFrame Frame;
            if (std::sscanf(Line.Message.c_str(),
                            "QuorvexSDK: screenshot stored ts=%lld bytes=%lld", &Frame.Timestamp,
                            &Frame.Bytes) == 2)
            {
                Frames.insert(Frame);
            }
        }
        return Frames;
    }

    static std::map<std::string, int> DroppedByRule(const FLogCapture& Log)
    {
        std::map<std::string, int> Dropped;
        for (const std::string& Rule : DropRules())
        {
            for (const FLogLine& Line : Log.Matching(Rule))
            {
                const std::string Rest = Line.Message.substr(Line.Message.find(Rule) + Rule.size());
                int Count = 0;
                if (std::sscanf(Rest.c_str(), "%d", &Count) == 1 && Count > 0)
                {
                    // The rule is named by the line without its numbers.
                    Dropped[RuleName(Line.Message)] += Count;
                }
            }
        }
        return Dropped;
    }

    // Every object any store accepted, for every session the backend knows, read back
    // with Python's zipfile (which also checks every entry's CRC).
    static std::vector<FLedgerObject> ReadObjects(const FDevBackendServer& Server,
                                                  std::vector<std::string>& OutFaults)
    {
        std::vector<FLedgerObject> Objects;
        std::string Paths;
        for (const FDevBackendSession& Session : Server.Sessions().All())
        {
            for (const FDevBackendObject& Object : Server.Objects(Session.Id))
            {
                Objects.push_back({Session.Id, Object.Name, {}});
                Paths += " '" + Object.Path + "'";
            }
        }
        if (Objects.empty())
        {
            return Objects;
        }
        std::string Output;
        const int Exit = RunCommand("python3 -c \"" + PythonReader() + "\"" + Paths, Output);
        if (Exit != 0)
        {
            OutFaults.push_back("python could not read the objects: " + Output);
            return Objects;
        }
        std::istringstream Lines(Output);
        std::string Kind;
        while (Lines >> Kind)
        {
            size_t Index = 0;
            if (Kind == "BAD")
            {
                std::string What;
                Lines >> Index;
                std::getline(Lines, What);
                OutFaults.push_back("object " + Objects.at(Index).Name + " is damaged:" + What);
                continue;
            }
            FLedgerFrame Frame;
            Lines >> Index >> Frame.Timestamp >> Frame.Bytes;
            Objects.at(Index).Frames.push_back(Frame);
        }
        return Objects;
    }

    static FLedgerBalance Balance(const FLogCapture& Log, const FDevBackendServer& Server)
    {
        FLedgerBalance Result;
        const std::multiset<FLedgerFrame> Stored = StoredFrames(Log);
        const std::vector<FLedgerObject> Objects = ReadObjects(Server, Result.Faults);
        Result.Stored = static_cast<int>(Stored.size());
        Result.Objects = static_cast<int>(Objects.size());
        Result.DroppedByRule = DroppedByRule(Log);
        for (const auto& [Rule, Count] : Result.DroppedByRule)
        {
            Result.Dropped += Count;
        }
        std::map<FLedgerFrame, std::vector<std::string>> UploadedIn;
        for (const FLedgerObject& Object : Objects)
        {
            for (const FLedgerFrame& Frame : Object.Frames)
            {
                UploadedIn[Frame].push_back(Object.SessionId + "/" + Object.Name);
                ++Result.Uploaded;
            }
        }
        for (const auto& [Frame, Where] : UploadedIn)
        {
            const size_t Times = Stored.count(Frame);
            if (Where.size() > Times)
            {
                std::string List;
                for (const std::string& Name : Where)
                {
                    List += " " + Name;
                }
                Result.Faults.push_back("frame ts=" + std::to_string(Frame.Timestamp) +
                                        " bytes=" + std::to_string(Frame.Bytes) +
                                        (Times == 0 ? " was never stored" : "") + " is in " +
                                        std::to_string(Where.size()) + " object(s):" + List);
            }
        }
        const int Missing = Result.Stored - Result.Uploaded;
        if (Missing != Result.Dropped)
        {
            Result.Faults.push_back(std::to_string(Missing) +
                                    " stored frame(s) are in no object, but the SDK logged " +
                                    std::to_string(Result.Dropped) + " dropped");
        }
        return Result;
    }

private:
    static std::string RuleName(const std::string& Message)
    {
        std::string Name;
        for (const char Char : Message)
        {
            if (Char < '0' || Char > '9')
            {
                Name += Char;
            }
        }
        return Name.substr(0, 90);
    }

    // Prints "FRAME <object index> <timestamp> <bytes>" per frame of each archive given
    // on the command line, from its manifest and its entries; "BAD <index> <why>" for
    // an archive that fails its CRC checks or lacks an entry its manifest names.
    static std::string PythonReader()
    {
        return "import sys, zipfile, json\n"
               "for i, p in enumerate(sys.argv[1:]):\n"
               "    try:\n"
               "        z = zipfile.ZipFile(p)\n"
               "        bad = z.testzip()\n"
               "        if bad: print('BAD', i, 'crc', bad); continue\n"
               "        m = json.loads(z.read('manifest.json'))\n"
               "        for f in m.get('frames', []):\n"
               "            e = z.getinfo('frames/%s.jpeg' % f['attachmentId'])\n"
               "            print('FRAME', i, int(f['timestamp']), e.file_size)\n"
               "    except Exception as x:\n"
               "        print('BAD', i, type(x).__name__)\n";
    }
};
