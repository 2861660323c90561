#pragma once

#include <string>

// A value as it may stand in an LDAP search filter: "*", "(", ")", "\" and NUL
// written as "\" and two hex digits, so that a name such as "x)(uid=*" is
// compared as the text it is and cannot change the query.
std::wstring EscapeFilterValue(const std::wstring& value);
