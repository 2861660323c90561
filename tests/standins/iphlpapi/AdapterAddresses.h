#pragma once

#include "iphlpapi/ScriptedAdapters.h"

#include <vector>

// GetAdaptersAddresses over scripted adapters: the list Windows builds, in the
// caller's buffer, with Windows' size negotiation (ERROR_BUFFER_OVERFLOW and
// the size needed), ERROR_NO_DATA when no adapter runs the family asked for.
ULONG WriteAdapterAddresses(const std::vector<SCRIPTED_ADAPTER>& adapters, ULONG family, ULONG flags,
                            IP_ADAPTER_ADDRESSES* buffer, ULONG* size);
