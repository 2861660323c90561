#pragma once

// The name under which the agent is installed as a Windows service.
constexpr wchar_t ServiceName[] = L"Kestrin";
