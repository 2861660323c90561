#include "update/DownloadFolder.h"

#include "common/UniqueResource.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"

#include <windows.h>

namespace
{
inline void CloseSearch(HANDLE search) { FindClose(search); }
using CFileSearch = CUniqueResource<HANDLE, CloseSearch>;

CFileSearch FindFirst(const std::wstring& pattern, WIN32_FIND_DATAW& data)
{
    HANDLE search = FindFirstFileW(pattern.c_str(), &data);
    return CFileSearch(search == INVALID_HANDLE_VALUE ? nullptr : search);
}
} // namespace

void EmptyDownloadFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW data{};
    CFileSearch search = FindFirst(folder + L"*", data);
    if (!search)
        return;
    do
    {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        std::wstring path = folder + data.cFileName;
        if (!DeleteFileW(path.c_str()))
        {
            DWORD error = GetLastError();
            LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to delete \"%s\".\r\n    %s. Error code = %ld.", path.c_str(),
                      CErrorText(error).Text(), (long)error);
        }
    } while (FindNextFileW(search.Get(), &data));
}
