#pragma once

// The command-line role's only feedback: boxes titled "User Agent Service".
void ShowInformationBox(const wchar_t* text);
void ShowErrorBox(const wchar_t* text);
