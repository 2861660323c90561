// netwin32.dll: the directory context. The tree and name context asked for
// are recorded, so a test sees which tree the agent chose; a scripted tree
// refuses every other.
#include "novell/AnsiText.h"
#include "novell/ScriptedCall.h"
#include "shared/ScriptNames.h"

#include <atomic>

namespace
{
std::atomic<NWDSContextHandle> LastContext{0};

NWRESULT SetTreeName(const char* tree)
{
    std::wstring name = FromAnsi(tree);
    RecordSeen(ScriptNames::Tree, name);
    std::optional<std::wstring> scripted = ScriptedTree();
    if (scripted && CompareStringOrdinal(scripted->c_str(), -1, name.c_str(), -1, TRUE) != CSTR_EQUAL)
        return CallFailed;
    return 0;
}
} // namespace

extern "C" NWRESULT WINAPI NWDSCreateContextHandle(NWDSContextHandle* context)
{
    return ScriptedCall(L"NWDSCreateContextHandle",
                        [context]
                        {
                            if (!context)
                                return CallFailed;
                            // Never 0, which callers take for no context.
                            NWDSContextHandle handle = 0;
                            while (handle == 0)
                                handle = ++LastContext;
                            *context = handle;
                            return 0;
                        });
}

extern "C" NWRESULT WINAPI NWDSFreeContext(NWDSContextHandle)
{
    return ScriptedCall(L"NWDSFreeContext", [] { return 0; });
}

extern "C" NWRESULT WINAPI NWDSSetContext(NWDSContextHandle, int32_t key, const void* value)
{
    return ScriptedCall(L"NWDSSetContext",
                        [=]
                        {
                            if (!value)
                                return CallFailed;
                            if (key == DCK_TREE_NAME)
                                return SetTreeName(static_cast<const char*>(value));
                            if (key != DCK_NAME_CONTEXT)
                                return CallFailed;
                            RecordSeen(ScriptNames::NameContext, FromAnsi(static_cast<const char*>(value)));
                            return 0;
                        });
}

extern "C" NWRESULT WINAPI NWDSWhoAmI(NWDSContextHandle, char* objectName)
{
    return ScriptedCall(L"NWDSWhoAmI",
                        [objectName]
                        {
                            if (!objectName)
                                return CallFailed;
                            CopyToCaller(ToAnsi(ScriptedWhoAmI()), objectName);
                            return 0;
                        });
}

NOVELL_UNUSED_CALL(NWDSGetContext)
NOVELL_UNUSED_CALL(NWDSLogin)
NOVELL_UNUSED_CALL(NWDSLogout)
NOVELL_UNUSED_CALL(NWDSVerifyObjectPassword)
NOVELL_UNUSED_CALL(NWDSReturnBlockOfAvailableTrees)
NOVELL_UNUSED_CALL(NWDSOpenConnToNDSServer)
NOVELL_UNUSED_CALL(NWDSCanDSAuthenticate)
