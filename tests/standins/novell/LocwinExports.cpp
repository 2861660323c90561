// locwin32.dll: the locale of a Western European system (country 1, code page
// 1252), the only one whose tables the stand-in claims to have.
#include "novell/ScriptedCall.h"

#include <cstring>

namespace
{
constexpr int32_t CountryId = 1;
constexpr int32_t CodePage = 1252;
} // namespace

extern "C" NW_LCONV* WINAPI NWLlocaleconv(NW_LCONV* lconv)
{
    CountCall(L"NWLlocaleconv");
    // A pointer has no room for a scripted code: any scripted error gives none.
    if (!lconv || ScriptedError(L"NWLlocaleconv"))
        return nullptr;
    std::memset(lconv, 0, sizeof(*lconv));
    lconv->CountryId = CountryId;
    lconv->CodePage = CodePage;
    return lconv;
}

extern "C" NWRESULT WINAPI NWInitUnicodeTables(int32_t countryId, int32_t codePage)
{
    return ScriptedCall(L"NWInitUnicodeTables",
                        [=] { return countryId == CountryId && codePage == CodePage ? 0 : CallFailed; });
}

NOVELL_UNUSED_CALL(NWFreeUnicodeTables)
