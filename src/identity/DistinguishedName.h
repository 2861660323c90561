#pragma once

#include <string>
#include <vector>

// Distinguished names as the directory writes them ("CN=Smith\, John,OU=Sales,
// DC=corp,DC=example"): a comma or any other special character inside a value
// is escaped with a backslash, or written as "\" and two hex digits of its
// UTF-8 bytes.

// The components in DN order, split at the commas that separate them; an
// escaped comma stays inside its component, and each component keeps its
// escapes. Like splitting text, a DN ending in a comma ends in an empty
// component.
std::vector<std::wstring> SplitDN(const std::wstring& dn);

// An attribute value with its escapes undone: "Smith\, John" is "Smith, John".
std::wstring UnescapeDNValue(const std::wstring& value);

// The values of the OU components in DN order, joined with "." ("Sales.East");
// empty when there is none.
std::wstring GetOUPath(const std::wstring& dn);

// The value of the first component when it is a CN, else empty.
std::wstring GetCommonName(const std::wstring& dn);
