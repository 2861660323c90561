#pragma once

// Adds one to the count of calls of the named function under
// HKLM\SOFTWARE\Kestrin Test\Calls, which a test reads to prove that a call
// was or was not made. Never fails the caller: a count that cannot be written
// is left as it was.
void CountCall(const wchar_t* function);
