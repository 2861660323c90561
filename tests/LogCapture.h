#pragma once

#include "TestSupport.h"

#include <string>
#include <vector>

// Routes the process log into a temporary file for the life of the object.
class CLogCapture
{
public:
    CLogCapture();
    ~CLogCapture();
    std::string Text() const;
    // The texts of the lines, without time and ids.
    std::vector<std::string> Lines() const;

private:
    CTempFolder m_Folder;
};

// The log of a death test's child process: a file whose name the parent and
// the child, which runs the test again from its start, both derive from the
// given name. The child opens it; the parent reads it after the child ended.
class CDeathLog
{
public:
    explicit CDeathLog(const std::wstring& name);
    ~CDeathLog();
    CDeathLog(const CDeathLog&) = delete;
    CDeathLog& operator=(const CDeathLog&) = delete;
    void Open();
    std::string Text() const;

private:
    std::wstring m_Path;
};
