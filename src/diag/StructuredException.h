#pragma once

#include "diag/Exception.h"

// Turns a processor fault in the calling thread into a call of the handler on
// the faulting thread, after which the thread ends with the given exit code.
// g++ has no working _set_se_translator, so the fault is caught by the
// process's unhandled-exception filter, which only sees faults that no frame
// of the thread handled itself.
struct SE_TRANSLATOR
{
    void (*Handler)(void* context, const STRUCTURED_EXCEPTION& exception);
    void* Context;
    DWORD ExitCode;
};

// The record stays owned by the caller and must outlive the installation;
// a thread body keeps it on its own stack and removes it before returning.
void InstallStructuredExceptionTranslator(const SE_TRANSLATOR* translator);
void RemoveStructuredExceptionTranslator();

// The faulting instruction's address.
void* FaultAddress(const STRUCTURED_EXCEPTION& exception);
