#pragma once

// The program's version, in one place: the log's build version line, the
// version resource (read back by the agent and by tools/make-update) and
// scripts/make-msi (the MSI's ProductVersion) all take it from here. Only
// plain numbers belong after the names below: make-msi reads them as text.
#define KESTRIN_VERSION_MAJOR 2
#define KESTRIN_VERSION_MINOR 1
#define KESTRIN_VERSION_PATCH 14
#define KESTRIN_VERSION_REVISION 0

#define KESTRIN_VERSION_STRINGIZE_(x) #x
#define KESTRIN_VERSION_STRINGIZE(x) KESTRIN_VERSION_STRINGIZE_(x)
// "2.1.14.0": the resource's FileVersion and ProductVersion texts.
// clang-format off
#define KESTRIN_VERSION_TEXT                                                                                           \
    KESTRIN_VERSION_STRINGIZE(KESTRIN_VERSION_MAJOR) "." KESTRIN_VERSION_STRINGIZE(KESTRIN_VERSION_MINOR) "."           \
    KESTRIN_VERSION_STRINGIZE(KESTRIN_VERSION_PATCH) "." KESTRIN_VERSION_STRINGIZE(KESTRIN_VERSION_REVISION)
// clang-format on
