#pragma once

#include <windows.h>

#include <string>

// The swap of the service's program file for a new build: the program is
// moved aside to its backup, the new build moved into its place, and the
// backup moved back when that fails, so the program file is never left
// missing.
class CProgramSwap
{
public:
    CProgramSwap(const std::wstring& program, const std::wstring& backup, const std::wstring& newProgram)
        : m_ProgramPath(program), m_BackupPath(backup), m_NewProgramPath(newProgram)
    {
    }

    // newProgram is the new build open with DELETE access, the file that was
    // verified: it is renamed through that handle, so no other file can take
    // its place on the way. True when the new build is in place.
    bool Swap(HANDLE newProgram);
    // Moves the backup back over the program file.
    bool Restore();

private:
    bool Backup();
    bool InstallNewProgram(HANDLE newProgram);

    std::wstring m_ProgramPath;
    std::wstring m_BackupPath;
    std::wstring m_NewProgramPath;
};
