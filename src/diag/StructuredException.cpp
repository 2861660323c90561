#include "diag/StructuredException.h"

#include "diag/Log.h"

namespace
{
INIT_ONCE FilterInstalled = INIT_ONCE_STATIC_INIT;
DWORD TranslatorSlot = TLS_OUT_OF_INDEXES;

LONG WINAPI EndProcessOnFault(EXCEPTION_POINTERS* pointers)
{
    STRUCTURED_EXCEPTION exception{static_cast<unsigned int>(pointers->ExceptionRecord->ExceptionCode),
                                   pointers->ExceptionRecord, pointers->ContextRecord};
    const auto* translator =
        TranslatorSlot == TLS_OUT_OF_INDEXES ? nullptr : static_cast<const SE_TRANSLATOR*>(TlsGetValue(TranslatorSlot));
    if (translator)
        translator->Handler(translator->Context, exception);
    else
        LogPrintf(LOG_ERROR, L"[!] Unhandled exception 0x%x at 0x%p", exception.Code, FaultAddress(exception));
    LogPrintf(LOG_ERROR, L"[!] Ending the process after exception 0x%x", exception.Code);
    // Every line is already on disk; nothing else may run in a process whose
    // state the fault left unknown.
    TerminateProcess(GetCurrentProcess(), exception.Code);
    return EXCEPTION_CONTINUE_SEARCH;
}

BOOL CALLBACK InstallFilter(PINIT_ONCE, PVOID, PVOID*)
{
    TranslatorSlot = TlsAlloc();
    SetUnhandledExceptionFilter(EndProcessOnFault);
    return TRUE;
}
} // namespace

void InstallProcessFaultFilter() { InitOnceExecuteOnce(&FilterInstalled, InstallFilter, nullptr, nullptr); }

void InstallStructuredExceptionTranslator(const SE_TRANSLATOR* translator)
{
    InstallProcessFaultFilter();
    if (TranslatorSlot != TLS_OUT_OF_INDEXES)
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
