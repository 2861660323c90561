#pragma once

#include <windows.h>

#include <utility>

// Owner of one kernel handle. INVALID_HANDLE_VALUE (-1) means "none"; a handle
// that is not owned (borrowed from elsewhere) is never closed.
class CHandle
{
public:
    CHandle() = default;
    explicit CHandle(HANDLE handle, bool owned = true) : m_Handle(Normalize(handle)), m_Owned(owned) {}
    ~CHandle() { Close(); }

    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    CHandle(CHandle&& other) noexcept : m_Handle(other.m_Handle), m_Owned(other.m_Owned)
    {
        other.m_Handle = INVALID_HANDLE_VALUE;
        other.m_Owned = false;
    }
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != &other)
        {
            Close();
            m_Handle = std::exchange(other.m_Handle, INVALID_HANDLE_VALUE);
            m_Owned = std::exchange(other.m_Owned, false);
        }
        return *this;
    }

    HANDLE Get() const { return m_Handle; }
    bool IsValid() const { return m_Handle != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return IsValid(); }

    // Replaces the held handle, closing the old one first.
    void Reset(HANDLE handle = INVALID_HANDLE_VALUE, bool owned = true)
    {
        Close();
        m_Handle = Normalize(handle);
        m_Owned = owned;
    }

    // Hands ownership on to the caller.
    HANDLE Take()
    {
        m_Owned = false;
        return std::exchange(m_Handle, INVALID_HANDLE_VALUE);
    }

    // Closes without disturbing the caller's last error, which usually belongs
    // to the failure that made us close.
    void Close()
    {
        if (m_Handle != INVALID_HANDLE_VALUE && m_Owned)
        {
            DWORD lastError = GetLastError();
            CloseHandle(m_Handle);
            SetLastError(lastError);
        }
        m_Handle = INVALID_HANDLE_VALUE;
        m_Owned = false;
    }

private:
    // Some APIs report failure with a null handle; both mean "none" here.
    static HANDLE Normalize(HANDLE handle) { return handle ? handle : INVALID_HANDLE_VALUE; }

    HANDLE m_Handle = INVALID_HANDLE_VALUE;
    bool m_Owned = false;
};
