#pragma once

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

    // True when the new build is in place.
    bool Swap();

private:
    bool Backup();
    bool Restore();
    bool InstallNewProgram();

    std::wstring m_ProgramPath;
    std::wstring m_BackupPath;
    std::wstring m_NewProgramPath;
};
