#include "service/CommandLine.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{
struct ParseCase
{
    std::vector<const wchar_t*> Arguments;
    bool Accepted;
    bool Help, Install, Uninstall, Console;
};

// Headless, the invalid-parameter box returns at once, so parsing runs here
// without anyone to press OK.
bool Parse(std::vector<const wchar_t*> arguments, CommandLine& commandLine)
{
    std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"Kestrin.exe")};
    for (const wchar_t* argument : arguments)
        argv.push_back(const_cast<wchar_t*>(argument));
    return ParseCommandLine(static_cast<int>(argv.size()), argv.data(), commandLine);
}
} // namespace

TEST(ParseCommandLine, PrefixFormsCaseAndOrder)
{
    const ParseCase cases[] = {
        {{L"-i"}, true, false, true, false, false},
        {{L"/I"}, true, false, true, false, false},
        {{L"--INSTALL"}, true, false, true, false, false},
        {{L"/-install"}, true, false, true, false, false},
        {{L"-u"}, true, false, false, true, false},
        {{L"--Uninstall"}, true, false, false, true, false},
        {{L"-c", L"-C", L"/-console"}, true, false, false, false, true},
        {{L"/console"}, false, false, false, false, false},
        {{L"--console", L"-i"}, true, false, true, false, true},
        {{L"install"}, true, false, false, false, false},
        {{L"-i", L"-u"}, true, false, true, true, false},
        {{L"-install"}, false, false, false, false, false},
        {{L"-x"}, false, false, false, false, false},
        {{L"-"}, false, false, false, false, false},
        {{L"-i", L"-x", L"-u"}, false, false, true, false, false},
    };
    for (const auto& c : cases)
    {
        CommandLine commandLine;
        bool accepted = Parse(c.Arguments, commandLine);
        std::wstring label;
        for (const wchar_t* argument : c.Arguments)
            label += std::wstring(argument) + L" ";
        SCOPED_TRACE(testing::Message() << "arguments: " << std::string(label.begin(), label.end()));
        EXPECT_EQ(accepted, c.Accepted);
        EXPECT_EQ(commandLine.Help, c.Help);
        EXPECT_EQ(commandLine.Install, c.Install);
        EXPECT_EQ(commandLine.Uninstall, c.Uninstall);
        EXPECT_EQ(commandLine.Console, c.Console);
    }
}

TEST(ParseCommandLine, HelpStopsParsingAtOnce)
{
    for (auto arguments : std::vector<std::vector<const wchar_t*>>{
             {L"?"}, {L"-?"}, {L"/h"}, {L"--HELP"}, {L"-i", L"-?", L"-x"}, {L"?", L"-u"}})
    {
        CommandLine commandLine;
        EXPECT_TRUE(Parse(arguments, commandLine));
        EXPECT_TRUE(commandLine.Help);
        EXPECT_FALSE(commandLine.Uninstall);
    }
    CommandLine installThenHelp;
    EXPECT_TRUE(Parse({L"-i", L"-?", L"-x"}, installThenHelp));
    EXPECT_TRUE(installThenHelp.Install);
}
