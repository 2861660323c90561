#pragma once

#include "eventsystem/SubscriptionStore.h"

#include <windows.h>

// The query criteria of IEventSystem::Remove that the stand-in understands:
// "ALL", or one comparison of a GUID property for equality,
// "SubscriptionID == {GUID}" or "EventClassID = '{GUID}'" (the GUID may be
// quoted; names and GUIDs are compared without regard to case).
struct REMOVE_QUERY
{
    enum class FIELD
    {
        All,
        SubscriptionID,
        EventClassID,
    };
    FIELD Field = FIELD::All;
    GUID Value = {};

    bool Matches(const STORED_SUBSCRIPTION& subscription) const;
};

// S_OK; EVENT_E_QUERYSYNTAX, or EVENT_E_QUERYFIELD for a property the
// stand-in does not know, with errorIndex the offset of the fault.
HRESULT ParseRemoveQuery(const wchar_t* text, REMOVE_QUERY& query, int& errorIndex);
