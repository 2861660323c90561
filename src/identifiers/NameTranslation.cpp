#include "identifiers/NameTranslation.h"

#include "platform/ComHolders.h"

#include <iads.h>

HRESULT TranslateToDN(const std::wstring& name, long inputType, std::wstring& dn)
{
    CComPtr<IADsNameTranslate> translate;
    HRESULT result = CoCreateInstance(CLSID_NameTranslate, nullptr, CLSCTX_INPROC_SERVER, IID_IADsNameTranslate,
                                      translate.PutVoid());
    if (FAILED(result))
        return result;
    result = translate->Init(ADS_NAME_INITTYPE_GC, nullptr);
    if (FAILED(result))
        return result;
    CBstr account(name);
    result = translate->Set(inputType, account.Get());
    if (FAILED(result))
        return result;
    CBstr translated;
    result = translate->Get(ADS_NAME_TYPE_1779, translated.Put());
    if (SUCCEEDED(result))
        dn = translated.Text();
    return result;
}
