#include "service/CommandLine.h"

#include "common/Format.h"
#include "service/MessageBoxes.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace
{
bool IsOption(const wchar_t* option, const wchar_t* shortForm, const wchar_t* longForm)
{
    return _wcsicmp(option, shortForm) == 0 || _wcsicmp(option, longForm) == 0;
}
} // namespace

bool ParseCommandLine(int argc, wchar_t** argv, CommandLine& commandLine)
{
    for (int i = 1; i < argc; ++i)
    {
        const wchar_t* argument = argv[i];
        if (wcscmp(argument, L"?") == 0)
        {
            commandLine.Help = true;
            return true;
        }
        if (argument[0] != L'-' && argument[0] != L'/')
            continue;

        const wchar_t* option = argument + 1;
        if (_wcsicmp(option, L"?") == 0 || IsOption(option, L"h", L"-help"))
        {
            commandLine.Help = true;
            return true;
        }
        if (IsOption(option, L"i", L"-install"))
            commandLine.Install = true;
        else if (IsOption(option, L"u", L"-uninstall"))
            commandLine.Uninstall = true;
        else if (IsOption(option, L"c", L"-console"))
            commandLine.Console = true;
        else
        {
            ShowErrorBox(FormatString(L"Invalid Command Line Parameter \"%s\"\n\nUse -? for help", option).c_str());
            return false;
        }
    }
    return true;
}

void ShowUsage()
{
    ShowInformationBox(L"User Agent Service Usage\n\n"
                       L"-?, -h, --help\tShow help and exit\n"
                       L"-c, --console\tCreate console window\n"
                       L"-i, --install\tInstall\n"
                       L"-u, --uninstall\tUninstall\n");
    // exit rather than ExitProcess, so the log is closed properly.
    exit(0);
}
