#pragma once

#include "diag/Exception.h"

// A processor fault that no frame handles ends the process, after one log
// line: the faulting thread's own line when it installed a translator, a
// general one otherwise. The thread cannot simply end: C++ destructors do not
// run for a fault (g++ unwinds only its own exceptions), so every lock it held
// would stay owned and the next thread to take one would hang. An ended
// service process is started again by the service manager's recovery actions.
struct SE_TRANSLATOR
{
    void (*Handler)(void* context, const STRUCTURED_EXCEPTION& exception);
    void* Context;
};

// Installs the process-wide filter; idempotent. The entry routine calls it
// first, so that faults on threads that are not ours are covered too.
void InstallProcessFaultFilter();

// The record stays owned by the caller and must outlive the installation;
// a thread body keeps it on its own stack and removes it before returning.
void InstallStructuredExceptionTranslator(const SE_TRANSLATOR* translator);
void RemoveStructuredExceptionTranslator();

// The faulting instruction's address.
void* FaultAddress(const STRUCTURED_EXCEPTION& exception);
