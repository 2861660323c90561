#include "diag/StructuredException.h"

namespace
{
INIT_ONCE FilterInstalled = INIT_ONCE_STATIC_INIT;
DWORD TranslatorSlot = TLS_OUT_OF_INDEXES;
LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter = nullptr;

LONG WINAPI TranslateUnhandledException(EXCEPTION_POINTERS* pointers)
{
    const auto* translator = static_cast<const SE_TRANSLATOR*>(TlsGetValue(TranslatorSlot));
    if (!translator)
        return PreviousFilter ? PreviousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;

    STRUCTURED_EXCEPTION exception{static_cast<unsigned int>(pointers->ExceptionRecord->ExceptionCode),
                                   pointers->ExceptionRecord, pointers->ContextRecord};
    translator->Handler(translator->Context, exception);
    // The faulting frames cannot be resumed, so the thread ends here.
    ExitThread(translator->ExitCode);
}

BOOL CALLBACK InstallFilter(PINIT_ONCE, PVOID, PVOID*)
{
    TranslatorSlot = TlsAlloc();
    if (TranslatorSlot == TLS_OUT_OF_INDEXES)
        return FALSE;
    PreviousFilter = SetUnhandledExceptionFilter(TranslateUnhandledException);
    return TRUE;
}
} // namespace

void InstallStructuredExceptionTranslator(const SE_TRANSLATOR* translator)
{
    if (InitOnceExecuteOnce(&FilterInstalled, InstallFilter, nullptr, nullptr))
        TlsSetValue(TranslatorSlot, const_cast<SE_TRANSLATOR*>(translator));
}

void RemoveStructuredExceptionTranslator()
{
    if (TranslatorSlot != TLS_OUT_OF_INDEXES)
        TlsSetValue(TranslatorSlot, nullptr);
}

void* FaultAddress(const STRUCTURED_EXCEPTION& exception)
{
    return exception.Context ? reinterpret_cast<void*>(exception.Context->Rip) : exception.Record->ExceptionAddress;
}
