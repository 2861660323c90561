#pragma once

#include <string>

// The sibling security agent, whose version the NQRP Query reports instead of
// ours while it is installed and running.
constexpr wchar_t SIBLING_AGENT_SERVICE[] = L"DornSecurityAgentService";

// The program path from a service's "ImagePath": quotes removed, then
// trailing backslashes.
std::wstring SiblingImageFile(std::wstring imagePath);

// True, with the FileVersion string of the sibling agent's program file
// (empty when its resource has none), when the service is installed and
// running and its file's version resource can be read.
bool ReadSiblingAgentVersion(std::wstring& version);
