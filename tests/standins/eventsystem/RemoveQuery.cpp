#include "eventsystem/RemoveQuery.h"

#include "eventsystem/GuidText.h"

#include <cwctype>
#include <string>

namespace
{
constexpr size_t GuidLength = 38; // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}

bool SameText(const std::wstring& left, const wchar_t* right)
{
    return CompareStringOrdinal(left.c_str(), -1, right, -1, TRUE) == CSTR_EQUAL;
}

// Walks the query text, remembering where a fault lies.
class CQueryReader
{
public:
    explicit CQueryReader(const wchar_t* text) : m_Text(text ? text : L"") {}

    size_t Position() const { return m_Position; }
    bool AtEnd()
    {
        SkipSpaces();
        return m_Position == m_Text.size();
    }
    void SkipSpaces()
    {
        while (m_Position < m_Text.size() && std::iswspace(m_Text[m_Position]))
            ++m_Position;
    }
    std::wstring ReadName()
    {
        SkipSpaces();
        size_t start = m_Position;
        while (m_Position < m_Text.size() && (std::iswalnum(m_Text[m_Position]) || m_Text[m_Position] == L'_'))
            ++m_Position;
        return m_Text.substr(start, m_Position - start);
    }
    // "==" or "=".
    bool ReadEquals()
    {
        SkipSpaces();
        if (m_Text.compare(m_Position, 2, L"==") == 0)
            m_Position += 2;
        else if (m_Text.compare(m_Position, 1, L"=") == 0)
            m_Position += 1;
        else
            return false;
        return true;
    }
    bool ReadGuid(GUID& guid)
    {
        SkipSpaces();
        wchar_t quote = m_Position < m_Text.size() ? m_Text[m_Position] : L'\0';
        bool quoted = quote == L'\'' || quote == L'"';
        size_t start = m_Position + (quoted ? 1 : 0);
        if (!ParseBracedGuid(m_Text.substr(start, GuidLength), guid))
            return false;
        size_t end = start + GuidLength;
        if (quoted && (end >= m_Text.size() || m_Text[end] != quote))
            return false;
        m_Position = end + (quoted ? 1 : 0);
        return true;
    }

private:
    std::wstring m_Text;
    size_t m_Position = 0;
};

HRESULT Fault(HRESULT result, size_t position, int& errorIndex)
{
    errorIndex = static_cast<int>(position);
    return result;
}
} // namespace

HRESULT ParseRemoveQuery(const wchar_t* text, REMOVE_QUERY& query, int& errorIndex)
{
    errorIndex = 0;
    CQueryReader reader(text);
    reader.SkipSpaces();
    size_t nameStart = reader.Position();
    std::wstring name = reader.ReadName();
    if (name.empty())
        return Fault(EVENT_E_QUERYSYNTAX, nameStart, errorIndex);
    if (SameText(name, L"ALL"))
    {
        query.Field = REMOVE_QUERY::FIELD::All;
        return reader.AtEnd() ? S_OK : Fault(EVENT_E_QUERYSYNTAX, reader.Position(), errorIndex);
    }
    if (SameText(name, L"SubscriptionID"))
        query.Field = REMOVE_QUERY::FIELD::SubscriptionID;
    else if (SameText(name, L"EventClassID"))
        query.Field = REMOVE_QUERY::FIELD::EventClassID;
    else
        return Fault(EVENT_E_QUERYFIELD, nameStart, errorIndex);
    if (!reader.ReadEquals() || !reader.ReadGuid(query.Value) || !reader.AtEnd())
        return Fault(EVENT_E_QUERYSYNTAX, reader.Position(), errorIndex);
    return S_OK;
}

bool REMOVE_QUERY::Matches(const STORED_SUBSCRIPTION& subscription) const
{
    if (Field == FIELD::All)
        return true;
    GUID stored = {};
    const std::wstring& text = Field == FIELD::SubscriptionID ? subscription.SubscriptionID : subscription.EventClassID;
    return ParseBracedGuid(text, stored) && stored == Value;
}
