#include "config/OptionsKeySecurity.h"

#include "config/Options.h"
#include "platform/RegKey.h"
#include "platform/RegKeySecurity.h"

DWORD SecureOptionsKey()
{
    CRegKey key;
    LONG result = key.Create(OPTIONS_KEY, READ_CONTROL | WRITE_DAC);
    if (result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);
    return RestrictKeyToAdministrators(key.Get());
}
