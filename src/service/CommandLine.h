#pragma once

struct CommandLine
{
    bool Help = false;
    bool Install = false;
    bool Uninstall = false;
    bool Console = false;
};

// Fills the flags from the arguments after the program name. Stops at the
// first request for help. Shows the invalid-parameter box and returns false
// for an unknown option.
bool ParseCommandLine(int argc, wchar_t** argv, CommandLine& commandLine);

// Shows the usage box and ends the process with exit code 0.
[[noreturn]] void ShowUsage();
