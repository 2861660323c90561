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
