#pragma once

// The whole process: decides the role, opens the log and runs the service or
// the command line. Returns the process exit code.
int KestrinMain();

// True only while the service control manager is starting "Kestrin", which is
// when this process is that service.
bool IsServiceStartPending();

// Log and update files are relative to the program's own folder.
void SetWorkingDirectoryToProgramFolder();

// The command-line role: usage, install, uninstall, or the agent in the
// foreground. Returns the process exit code.
int RunFromCommandLine(int argc, wchar_t** argv);
