#include "service/MessageBoxes.h"

#include <windows.h>

namespace
{
constexpr wchar_t BoxTitle[] = L"User Agent Service";
}

void ShowInformationBox(const wchar_t* text) { MessageBoxW(nullptr, text, BoxTitle, MB_OK | MB_ICONINFORMATION); }

void ShowErrorBox(const wchar_t* text) { MessageBoxW(nullptr, text, BoxTitle, MB_OK | MB_ICONERROR); }
