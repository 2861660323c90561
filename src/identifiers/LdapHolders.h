#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

#include <winldap.h>

namespace ResourceRelease
{
inline void LdapUnbind(LDAP* session) { ::ldap_unbind(session); }
inline void LdapMessageFree(LDAPMessage* message) { ::ldap_msgfree(message); }
inline void LdapMemFree(PWCHAR text) { ::ldap_memfreeW(text); }
inline void LdapValueFree(PWCHAR* values) { ::ldap_value_freeW(values); }
} // namespace ResourceRelease

// An LDAP session, unbound (which also frees it) when the holder goes.
using CLdapSession = CUniqueResource<LDAP*, ResourceRelease::LdapUnbind>;
// A search result.
using CLdapMessage = CUniqueResource<LDAPMessage*, ResourceRelease::LdapMessageFree>;
// A text the library allocated: a DN, a server error string.
using CLdapText = CUniqueResource<PWCHAR, ResourceRelease::LdapMemFree>;
// The values of one attribute of an entry.
using CLdapValues = CUniqueResource<PWCHAR*, ResourceRelease::LdapValueFree>;
