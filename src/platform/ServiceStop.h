#pragma once

#include <windows.h>

// Stops the service when it runs and waits, at most timeoutMs, until it has
// stopped and its process has ended, so that its program file can be
// replaced or removed. True when both happened in time (or it was stopped
// already); the service handle needs SERVICE_QUERY_STATUS and SERVICE_STOP.
bool StopServiceAndWait(SC_HANDLE service, DWORD timeoutMs);
