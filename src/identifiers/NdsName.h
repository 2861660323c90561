#pragma once

#include <string>

// NDS names as the Novell client writes them: typed components separated by
// dots, most specific first ("cn=ann.ou=sales.o=acme").

// The typeless full name (the CN values, ".", then the context: "ann.sales.acme")
// and the context (the OU and O values: "sales.acme"). A name with neither CN
// nor context gives ".".
void SplitNdsName(const std::wstring& dn, std::wstring& name, std::wstring& context);

// Every CN, OU and O value in order, joined with ".": "cn=staff.ou=sales.o=acme"
// gives "staff.sales.acme".
std::wstring GetTypelessName(const std::wstring& dn);
