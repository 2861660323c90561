#include "identifiers/NdsName.h"

#include <cwchar>
#include <vector>

namespace
{
enum class ComponentType
{
    CommonName,
    Context,
    Other,
};

std::vector<std::wstring> SplitAtDots(const std::wstring& dn)
{
    std::vector<std::wstring> components;
    size_t start = 0;
    for (size_t dot = dn.find(L'.'); dot != std::wstring::npos; dot = dn.find(L'.', start))
    {
        components.push_back(dn.substr(start, dot - start));
        start = dot + 1;
    }
    components.push_back(dn.substr(start));
    return components;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix)
{
    return _wcsnicmp(text.c_str(), prefix, wcslen(prefix)) == 0;
}

// The component's type and, through value, its text after the type.
ComponentType Classify(const std::wstring& component, std::wstring& value)
{
    if (StartsWith(component, L"CN="))
    {
        value = component.substr(3);
        return ComponentType::CommonName;
    }
    if (StartsWith(component, L"OU="))
    {
        value = component.substr(3);
        return ComponentType::Context;
    }
    if (StartsWith(component, L"O="))
    {
        value = component.substr(2);
        return ComponentType::Context;
    }
    return ComponentType::Other;
}

void Append(std::wstring& text, const std::wstring& value)
{
    if (!text.empty())
        text += L".";
    text += value;
}
} // namespace

void SplitNdsName(const std::wstring& dn, std::wstring& name, std::wstring& context)
{
    name.clear();
    context.clear();
    for (const auto& component : SplitAtDots(dn))
    {
        std::wstring value;
        ComponentType type = Classify(component, value);
        if (type == ComponentType::CommonName)
            Append(name, value);
        else if (type == ComponentType::Context)
            Append(context, value);
    }
    name += L".";
    name += context;
}

std::wstring GetTypelessName(const std::wstring& dn)
{
    std::wstring name;
    for (const auto& component : SplitAtDots(dn))
    {
        std::wstring value;
        if (Classify(component, value) != ComponentType::Other)
            Append(name, value);
    }
    return name;
}
