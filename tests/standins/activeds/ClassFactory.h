#pragma once

#include <windows.h>

#include <unknwn.h>

// The class object of NameTranslate, the one class the stand-in serves.
HRESULT GetNameTranslateFactory(REFIID iid, void** object);
